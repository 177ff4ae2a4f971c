#pragma once
#include <cstdint>

// Sleeps until the current frame's deadline so that updates run at 60 per second.
void frame_wait();
