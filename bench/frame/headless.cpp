// Runs before the game's own static objects (priority 101 comes first): the
// audio output opens during static construction, and benchmarks need neither
// a sound card nor a display unless the caller asks for one.
#include <cstdlib>

namespace {
struct headless_drivers {
    headless_drivers() {
        setenv("SDL_VIDEODRIVER", "dummy", 0);
        setenv("SDL_AUDIODRIVER", "dummy", 0);
    }
};
__attribute__((init_priority(101))) headless_drivers drivers;
}  // namespace
