#include "vaz/xcppsdl.hpp"

#include <stdexcept>

namespace vaz {

int xcppsdl<void>::instance_count = 0;

namespace {
constexpr const char* window_caption = "velmora v0.01 - test_void";
}

bool default_event_handler(const SDL_Event* e) {
    if (e->type == SDL_KEYDOWN && e->key.keysym.sym == SDLK_ESCAPE) return false;
    if (e->type == SDL_QUIT) return false;
    return true;
}

xcppsdl<void>::xcppsdl(Uint32 video_flags) {
    if (SDL_Init(SDL_INIT_VIDEO) < 0) {
        throw std::runtime_error(std::string("SDL_Init failed: ") + SDL_GetError());
    }
    adopt(SDL_SetVideoMode(640, 480, 32, video_flags));
    caption = window_caption;
    width = 640;
    height = 480;
    depth = 32;
    event_handler = &default_event_handler;
    // Checked after the mode is set, as the one-window rule is about objects,
    // not about SDL's state.
    if (instance_count == 1) throw std::logic_error("a second window object was constructed");
    ++instance_count;
    SDL_WM_SetCaption(window_caption, nullptr);
}

xcppsdl<void>::~xcppsdl() { SDL_Quit(); }

}  // namespace vaz
