// Runs before any other static object (priority 101 comes first), so test and
// benchmark binaries never reach for a real display or sound card, even when
// run by hand or by test discovery.
#include <cstdlib>

namespace {
struct headless_env {
    headless_env() {
        setenv("SDL_VIDEODRIVER", "dummy", 0);
        setenv("SDL_AUDIODRIVER", "dummy", 0);
    }
};
__attribute__((init_priority(101))) headless_env env;
}  // namespace
