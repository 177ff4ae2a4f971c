// Preloaded into the game to stand for a display that refuses the video mode.
#include <SDL.h>

extern "C" SDL_Surface* SDL_SetVideoMode(int, int, int, Uint32) {
    SDL_SetError("video mode refused for the test");
    return nullptr;
}
