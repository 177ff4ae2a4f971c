#include "game/startup.hpp"

#include "game/schedulers.hpp"

// Placeholder until the start-up sequence lands: always the demo.
int start_stage(int, char**) {
    update_tasks.spawn<gametask::titledemo>();
    return 0;
}
