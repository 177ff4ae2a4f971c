// Preloaded into the real game to stand for a player under SDL's dummy video
// driver, which has no keyboard: SDL's key state is an array of this
// library's own, changed at the frames a script names, in the event pump
// that follows the frame's flip (where SDL changes it too).
//   VELMORA_KEY_SCRIPT  the script, a line per change in frame order:
//                       "FRAME KEY 0|1" (KEY an SDL key symbol), or "FRAME quit"
//   VELMORA_KEY_WATCH   "FILE:COUNT": quit as soon as FILE has been written
//                       COUNT times (the game writes its recording whole under
//                       a new name at every result screen reached and left)
//   VELMORA_KEY_REPORT  written when quitting: the frames flipped and the
//                       seconds since the first flip
// To quit it pushes Escape, once.
#include <SDL.h>
#include <dlfcn.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
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
timespec first_flip{};
bool loaded = false;
bool quitting = false;

std::string watched;  // the file whose writes are counted
int writes_to_quit = 0;
int writes_seen = 0;
struct stat last_seen {};

void load() {
    loaded = true;
    if (const char* path = std::getenv("VELMORA_KEY_SCRIPT")) {
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
    if (const char* watch = std::getenv("VELMORA_KEY_WATCH")) {
        const std::string w = watch;
        const std::size_t colon = w.rfind(':');
        if (colon != std::string::npos) {
            watched = w.substr(0, colon);
            writes_to_quit = std::atoi(w.c_str() + colon + 1);
        }
    }
}

// Each write replaces the file: a new inode, or a new change time.
bool written_again() {
    struct stat st {};
    if (watched.empty() || ::stat(watched.c_str(), &st) != 0) return false;
    const bool same = st.st_ino == last_seen.st_ino && st.st_ctim.tv_sec == last_seen.st_ctim.tv_sec &&
                      st.st_ctim.tv_nsec == last_seen.st_ctim.tv_nsec && st.st_size == last_seen.st_size;
    last_seen = st;
    return !same;
}

void quit() {
    if (quitting) return;
    quitting = true;
    if (const char* path = std::getenv("VELMORA_KEY_REPORT")) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const double seconds =
            static_cast<double>(now.tv_sec - first_flip.tv_sec) + (now.tv_nsec - first_flip.tv_nsec) * 1e-9;
        if (std::FILE* f = std::fopen(path, "w")) {
            std::fprintf(f, "%ld %.3f\n", flips, seconds);
            std::fclose(f);
        }
    }
    SDL_Event e{};
    e.type = SDL_KEYDOWN;
    e.key.type = SDL_KEYDOWN;
    e.key.state = SDL_PRESSED;
    e.key.keysym.sym = SDLK_ESCAPE;
    SDL_PushEvent(&e);
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
    if (flips++ == 0) clock_gettime(CLOCK_MONOTONIC, &first_flip);
    return flip(screen);
}

extern "C" void SDL_PumpEvents(void) {
    static auto pump = real<void (*)(void)>("SDL_PumpEvents");
    pump();
    if (!loaded) load();
    if (written_again() && ++writes_seen >= writes_to_quit && writes_to_quit > 0) quit();
    for (; next < script.size() && script[next].frame <= flips; ++next) {
        const change& c = script[next];
        if (c.key < 0) {
            quit();
        } else if (c.key < SDLK_LAST) {
            keys[c.key] = c.down ? 1 : 0;
        }
    }
}
