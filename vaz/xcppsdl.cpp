#include "vaz/xcppsdl.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <stdexcept>

namespace vaz {

int xcppsdl<void>::instance_count = 0;

namespace {
constexpr const char* window_caption = "velmora v0.01 - test_void";
constexpr int screen_w = 640;
constexpr int screen_h = 480;
constexpr int screen_depth = 32;
constexpr int largest_scale = 3;

// Locks a surface for the span of a scope, when SDL asks for that.
struct pixels_lock {
    explicit pixels_lock(SDL_Surface* s) : surface(SDL_MUSTLOCK(s) && SDL_LockSurface(s) == 0 ? s : nullptr) {}
    ~pixels_lock() {
        if (surface) SDL_UnlockSurface(surface);
    }
    pixels_lock(const pixels_lock&) = delete;
    pixels_lock& operator=(const pixels_lock&) = delete;
    SDL_Surface* surface;
};
}  // namespace

bool default_event_handler(const SDL_Event* e) {
    if (e->type == SDL_KEYDOWN && e->key.keysym.sym == SDLK_ESCAPE) return false;
    if (e->type == SDL_QUIT) return false;
    return true;
}

xcppsdl<void>::xcppsdl(Uint32 video_flags, int scale_factor, int fit_w, int fit_h) {
    if (SDL_Init(SDL_INIT_VIDEO) < 0) {
        throw std::runtime_error(std::string("SDL_Init failed: ") + SDL_GetError());
    }
    set_mode(video_flags, scale_factor, fit_w, fit_h);
    caption = window_caption;
    width = screen_w;
    height = screen_h;
    depth = screen_depth;
    event_handler = &default_event_handler;
    // Checked after the mode is set, as the one-window rule is about objects,
    // not about SDL's state.
    if (instance_count == 1) throw std::logic_error("a second window object was constructed");
    ++instance_count;
    SDL_WM_SetCaption(window_caption, nullptr);
}

xcppsdl<void>::~xcppsdl() {
    if (frame_) SDL_FreeSurface(frame_);
    SDL_Quit();
}

bool xcppsdl<void>::set_mode(Uint32 video_flags, int scale_factor, int fit_w, int fit_h) {
    if (frame_) SDL_FreeSurface(frame_);
    frame_ = nullptr;
    surface_ptr = nullptr;
    const bool fullscreen = (video_flags & SDL_FULLSCREEN) != 0;
    const bool fit = fullscreen && fit_w >= screen_w && fit_h >= screen_h;
    if (fit)
        scale = std::min(fit_w / screen_w, fit_h / screen_h);
    else
        scale = fullscreen || scale_factor < 1 ? 1 : scale_factor > largest_scale ? largest_scale : scale_factor;
    const int mode_w = fit ? fit_w : screen_w * scale, mode_h = fit ? fit_h : screen_h * scale;
    left = (mode_w - screen_w * scale) / 2;
    top = (mode_h - screen_h * scale) / 2;
    // SDL frees the screen it gave before.
    screen_ptr = SDL_SetVideoMode(mode_w, mode_h, screen_depth, video_flags);
    if (!screen_ptr) return false;
    if (scale == 1 && left == 0 && top == 0) {
        adopt(screen_ptr);
        return true;
    }
    // The borders: flip draws only the game's part.
    SDL_FillRect(screen_ptr, nullptr, 0);
    const SDL_PixelFormat* f = screen_ptr->format;
    frame_ = SDL_CreateRGBSurface(SDL_SWSURFACE, screen_w, screen_h, screen_depth, f->Rmask, f->Gmask, f->Bmask, f->Amask);
    if (!frame_) {
        screen_ptr = nullptr;
        return false;
    }
    adopt(frame_);
    return true;
}

void xcppsdl<void>::flip() {
    if (!screen_ptr) return;
    if (frame_) scale_up(frame_, screen_ptr, scale, left, top);
    SDL_Flip(screen_ptr);
}

void scale_up(SDL_Surface* from, SDL_Surface* to, int factor, int left, int top) {
    const pixels_lock from_lock(from), to_lock(to);
    const std::size_t row_bytes = static_cast<std::size_t>(from->w) * static_cast<std::size_t>(factor) * sizeof(Uint32);
    for (int y = 0; y < from->h; ++y) {
        const auto* in = reinterpret_cast<const Uint32*>(static_cast<const Uint8*>(from->pixels) + y * from->pitch);
        auto* first = static_cast<Uint8*>(to->pixels) + static_cast<std::ptrdiff_t>(top + y * factor) * to->pitch +
                      static_cast<std::ptrdiff_t>(left) * static_cast<std::ptrdiff_t>(sizeof(Uint32));
        auto* out = reinterpret_cast<Uint32*>(first);
        for (int x = 0; x < from->w; ++x) {
            for (int k = 0; k < factor; ++k) *out++ = in[x];
        }
        // The other rows of the block repeat the first.
        for (int k = 1; k < factor; ++k) std::memcpy(first + static_cast<std::ptrdiff_t>(k) * to->pitch, first, row_bytes);
    }
}

}  // namespace vaz
