#include "game/frame_pacing.hpp"

#include <SDL.h>

// Placeholder until deadline pacing lands.
void frame_wait() { SDL_Delay(16); }
