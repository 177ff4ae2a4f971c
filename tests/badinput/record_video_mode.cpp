// Preloaded into the game to tell which display mode it asks for: each
// SDL_SetVideoMode call appends "fullscreen" or "window" to the file named by
// BADINPUT_VIDEO_MODE_LOG, then the real call runs.
#include <SDL.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

extern "C" SDL_Surface* SDL_SetVideoMode(int width, int height, int bpp, Uint32 flags) {
    using set_video_mode_fn = SDL_Surface* (*)(int, int, int, Uint32);
    static const auto real = reinterpret_cast<set_video_mode_fn>(dlsym(RTLD_NEXT, "SDL_SetVideoMode"));
    if (const char* log = std::getenv("BADINPUT_VIDEO_MODE_LOG")) {
        if (std::FILE* f = std::fopen(log, "a")) {
            std::fprintf(f, "%s\n", (flags & SDL_FULLSCREEN) ? "fullscreen" : "window");
            std::fclose(f);
        }
    }
    if (real == nullptr) {
        SDL_SetError("the real SDL_SetVideoMode was not found");
        return nullptr;
    }
    return real(width, height, bpp, flags);
}
