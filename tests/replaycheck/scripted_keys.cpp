// Preloaded into the real game to stand for a player under SDL's dummy video
// driver, which has no keyboard: SDL's key state is an array of this
// library's own, changed at the frames a script names, in the event pump
// that follows the frame's flip (where SDL changes it too). At the script's
// end it pushes Escape. VELMORA_KEY_SCRIPT names the script, a line per
// change, "FRAME KEY 0|1" (KEY an SDL key symbol) or "FRAME quit", in frame
// order; VELMORA_KEY_REPORT, when set, is written with the frames flipped.
#include <SDL.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

namespace {

struct change {
    long frame;
    int key;  // -1: quit
    bool down;
};

Uint8 keys[SDLK_LAST];
std::vector<change> script;
std::size_t next = 0;
long flips = 0;
bool loaded = false;

void load_script() {
    loaded = true;
    const char* path = std::getenv("VELMORA_KEY_SCRIPT");
    if (!path) return;
    std::ifstream in(path);
    long frame;
    std::string what;
    while (in >> frame >> what) {
        if (what == "quit") {
            script.push_back({frame, -1, true});
            continue;
        }
        int down = 0;
        in >> down;
        script.push_back({frame, std::atoi(what.c_str()), down != 0});
    }
}

void report() {
    const char* path = std::getenv("VELMORA_KEY_REPORT");
    if (!path) return;
    if (std::FILE* f = std::fopen(path, "w")) {
        std::fprintf(f, "%ld\n", flips);
        std::fclose(f);
    }
}

template <class F>
F real(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" Uint8* SDL_GetKeyState(int* count) {
    if (count) *count = SDLK_LAST;
    return keys;
}

extern "C" int SDL_Flip(SDL_Surface* screen) {
    static auto flip = real<int (*)(SDL_Surface*)>("SDL_Flip");
    ++flips;
    return flip(screen);
}

extern "C" void SDL_PumpEvents(void) {
    static auto pump = real<void (*)(void)>("SDL_PumpEvents");
    pump();
    if (!loaded) load_script();
    for (; next < script.size() && script[next].frame <= flips; ++next) {
        const change& c = script[next];
        if (c.key >= 0 && c.key < SDLK_LAST) {
            keys[c.key] = c.down ? 1 : 0;
            continue;
        }
        report();
        SDL_Event e{};
        e.type = SDL_KEYDOWN;
        e.key.type = SDL_KEYDOWN;
        e.key.state = SDL_PRESSED;
        e.key.keysym.sym = SDLK_ESCAPE;
        SDL_PushEvent(&e);
    }
}
