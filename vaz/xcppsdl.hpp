#pragma once
#include <SDL.h>

#include <string>

namespace vaz {

template <class T>
class xsfbase;

// Base of the surface wrappers: the wrapped surface and a copy of its public
// fields taken once at construction (only the format copy is read later).
template <>
class xsfbase<void> {
public:
    explicit xsfbase(SDL_Surface* s = nullptr) { adopt(s); }
    virtual ~xsfbase() = default;

    xsfbase(const xsfbase&) = delete;
    xsfbase& operator=(const xsfbase&) = delete;

    SDL_Surface* surface_ptr = nullptr;  // may be null
    Uint32 flags = 0;
    SDL_PixelFormat* format = nullptr;
    int w = 0;
    int h = 0;
    Uint16 pitch = 0;
    void* pixels = nullptr;
    SDL_Rect clip_rect{};
    Uint32 unused1 = 0;
    int refcount = 0;

protected:
    void adopt(SDL_Surface* s);
};

template <class T>
class xcppsdl;

bool default_event_handler(const SDL_Event* e);

// The window: SDL video, the 640x480x32 mode, the caption and the event
// handler. Only one may ever be constructed in a process.
//
// The game always draws into the 640x480 surface_ptr. At scale 1 (and full
// screen) that is the screen itself; a window of 2 or 3 times the size, or a
// full screen fitted to the desktop, gets a surface of its own that flip
// copies up by whole pixels.
template <>
class xcppsdl<void> : public xsfbase<void> {
public:
    class surface;

    explicit xcppsdl(Uint32 video_flags, int scale = 1, int fit_w = 0, int fit_h = 0);
    ~xcppsdl() override;

    // Sets the video mode again, e.g. between two songs of one session. Full
    // screen is 640x480; scale (1 to 3) sizes a window. Full screen with
    // fit_w and fit_h (the desktop's size, at least 640x480) takes a mode of
    // that size instead, the game scaled up by the largest whole factor that
    // fits, centred between black borders. False when SDL refuses the mode;
    // surface_ptr is null then.
    bool set_mode(Uint32 video_flags, int scale, int fit_w = 0, int fit_h = 0);
    // Shows what was drawn into surface_ptr.
    void flip();

    SDL_Surface* screen_ptr = nullptr;  // the video surface; surface_ptr itself at scale 1
    int scale = 1;                      // screen pixels per game pixel, each way
    int left = 0, top = 0;              // where the game's top-left pixel is on the screen

    std::string caption;
    int width = 0;
    int height = 0;
    int depth = 0;
    bool (*event_handler)(const SDL_Event*) = nullptr;

    static int instance_count;  // windows ever constructed; never decremented

private:
    SDL_Surface* frame_ = nullptr;  // owned; only while scale > 1
};

// Copies `from` into `to` at (left, top), each pixel as a factor x factor
// block (nearest neighbour). Both 32 bits per pixel; `to` large enough for
// factor times the size of `from` each way from there.
void scale_up(SDL_Surface* from, SDL_Surface* to, int factor, int left = 0, int top = 0);

// An owned surface: freed on destruction when not null.
class xcppsdl<void>::surface : public xsfbase<void> {
public:
    explicit surface(SDL_Surface* s = nullptr) : xsfbase<void>(s) {}
    ~surface() override {
        if (surface_ptr) SDL_FreeSurface(surface_ptr);
    }
    // Takes ownership of s, freeing the surface held before.
    void reset(SDL_Surface* s) {
        if (surface_ptr) SDL_FreeSurface(surface_ptr);
        surface_ptr = nullptr;
        adopt(s);
    }
};

inline void xsfbase<void>::adopt(SDL_Surface* s) {
    surface_ptr = s;
    if (!s) return;
    flags = s->flags;
    format = s->format;
    w = s->w;
    h = s->h;
    pitch = s->pitch;
    pixels = s->pixels;
    clip_rect = s->clip_rect;
    unused1 = s->unused1;
    refcount = s->refcount;
}

}  // namespace vaz
