#include "shell/video.hpp"

#include <strings.h>

#include <cstddef>
#include <cstdlib>
#include <stdexcept>

namespace {

// SDL falls back to these when no display answers; they show nothing.
bool draws_off_screen(const char* driver) {
    return strcasecmp(driver, "offscreen") == 0 || strcasecmp(driver, "dummy") == 0;
}

// Whether SDL_VIDEODRIVER (a name, or a comma-separated list) names driver.
bool asked_for(const char* driver) {
    const char* asked = std::getenv("SDL_VIDEODRIVER");
    if (asked == nullptr) return false;
    const std::string list = asked;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = list.find(',', start);
        const std::string name = list.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (strcasecmp(name.c_str(), driver) == 0) return true;
        if (end == std::string::npos) return false;
        start = end + 1;
    }
}

// A window shows the screen pixel for pixel, so SDL's software renderer
// shows exactly what its OpenGL renderer would. Left to choose, SDL sets up
// OpenGL for the window (and once more to try it for the window's surface):
// loading the driver and, without a graphics card, compiling its shaders took
// most of the time to the window, 0.2 to 0.4 s of CPU. An X11 window takes
// the pixels straight from memory. Full screen keeps OpenGL, which scales the
// screen to the display's size; a user's own choice of either setting wins.
void show_window_without_opengl() {
    setenv("SDL_RENDER_DRIVER", "software", 0);
    setenv("SDL_FRAMEBUFFER_ACCELERATION", "0", 0);
}

}  // namespace

std::string start_video(bool fullscreen) {
    if (SDL_InitSubSystem(SDL_INIT_VIDEO) < 0) return std::string("cannot start the video: ") + SDL_GetError();
    char driver[64] = "";
    if (SDL_VideoDriverName(driver, sizeof driver) == nullptr) return {};
    if (draws_off_screen(driver) && !asked_for(driver)) {
        SDL_QuitSubSystem(SDL_INIT_VIDEO);
        return std::string("no display to show the game on: the only video driver SDL found is \"") + driver +
               "\", which shows nothing (is DISPLAY set?)";
    }
    // Read when the window is made, not before: the driver had to be known.
    if (!fullscreen && strcasecmp(driver, "x11") == 0) show_window_without_opengl();
    return {};
}

bool poll_events() {
    bool keep_running = true;
    SDL_Event e;
    while (SDL_PollEvent(&e)) {
        if (!window->event_handler(&e)) keep_running = false;
    }
    return keep_running;
}

events_ask poll_stage_events() {
    events_ask ask = events_ask::carry_on;
    SDL_Event e;
    while (SDL_PollEvent(&e)) {
        if (e.type == SDL_QUIT) {
            ask = events_ask::quit;
        } else if (ask == events_ask::carry_on && !window->event_handler(&e)) {
            ask = events_ask::leave;
        }
    }
    return ask;
}

void draw_line(line_colour colour, int x0, int y0, int x1, int y1) {
    SDL_Surface* screen = window->surface_ptr;
    const int rgb = colour.rgb;
    const Uint32 pixel = SDL_MapRGB(window->format, (rgb >> 16) & 0xff, (rgb >> 8) & 0xff, rgb & 0xff);
    if (SDL_LockSurface(screen) == -1) throw std::runtime_error("cannot lock the screen surface");

    auto plot = [screen, pixel](int x, int y) {
        if (x < 0 || x >= screen->w || y < 0 || y >= screen->h) return;
        auto* row = static_cast<Uint8*>(screen->pixels) + static_cast<std::ptrdiff_t>(y) * screen->pitch;
        reinterpret_cast<Uint32*>(row)[x] = pixel;
    };

    const int dx = std::abs(x1 - x0), sx = x1 > x0 ? 1 : -1;
    const int dy = std::abs(y1 - y0), sy = y1 > y0 ? 1 : -1;
    int x = x0, y = y0;
    if (dx > dy) {
        int err = -dx;
        for (int i = 0; i <= dx; ++i) {
            plot(x, y);
            x += sx;
            err += 2 * dy;
            if (err >= 0) {
                y += sy;
                err -= 2 * dx;
            }
        }
    } else {
        int err = -dy;
        for (int i = 0; i <= dy; ++i) {
            plot(x, y);
            y += sy;
            err += 2 * dx;
            if (err >= 0) {
                x += sx;
                err -= 2 * dy;
            }
        }
    }
    SDL_UnlockSurface(screen);
}

void clear_frame() {
    SDL_Rect whole{0, 0, static_cast<Uint16>(window->width), static_cast<Uint16>(window->height)};
    SDL_FillRect(window->surface_ptr, &whole, 0);
    draw_playfield_border();
}

void draw_playfield_border() {
    static constexpr line_colour white{0xffffff};
    constexpr int l = playfield_left, t = playfield_top;
    constexpr int r = playfield_left + playfield_size, b = playfield_top + playfield_size;
    draw_line(white, l, t, r, t);
    draw_line(white, r, t, r, b);
    draw_line(white, r, b, l, b);
    draw_line(white, l, b, l, t);
}
