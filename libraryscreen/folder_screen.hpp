#pragma once
#include "libraryscreen/screen_state.hpp"

namespace libraryscreen {

// F5: a folder browser from the music folder; Return on its first row
// remembers the folder shown and scans it. Escape or F5 leaves.
void folder_screen(screen_state& s);

}  // namespace libraryscreen
