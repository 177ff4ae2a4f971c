#pragma once
#include "libraryscreen/screen_state.hpp"

namespace libraryscreen {

// F4: the volumes, the offset and its calibration, the edition and
// difficulty, the display; each change saved at once. Escape or F4 leaves.
void settings_screen(screen_state& s);

}  // namespace libraryscreen
