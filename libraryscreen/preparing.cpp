#include "libraryscreen/preparing.hpp"

#include <SDL.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <thread>

#include "libraryscreen/drawing.hpp"

namespace libraryscreen {
namespace {

// Waits for a background job, drawing `draw` every frame; events are read
// so the window stays alive (a close request is remembered for after).
template <typename Done, typename Draw>
void wait_drawing(screen_state& s, Done done, Draw draw, std::atomic<bool>* cancel = nullptr) {
    std::uint32_t next = SDL_GetTicks();
    while (!done()) {
        SDL_Event e;
        while (SDL_PollEvent(&e)) {
            if (e.type == SDL_QUIT) s.quit = true;
            if (cancel && (e.type == SDL_QUIT || (e.type == SDL_KEYDOWN && e.key.keysym.sym == SDLK_ESCAPE)))
                *cancel = true;
        }
        draw(window->surface_ptr);
        window->flip();
        pace(next);
    }
}

void draw_preparing(screen_state& s, SDL_Surface* surface, const std::string& title, double fraction) {
    fill(surface, 0, 0, screen_width, screen_height, 0);
    s.text.draw(surface, 60, 170, "Preparing the stage of", style(16, grey));
    s.text.draw(surface, 60, 196, title, style(18, white), 520);
    fill(surface, 60, 236, 520, 24, white);
    fill(surface, 62, 238, 516, 20, 0);
    fill(surface, 62, 238, static_cast<int>(516 * std::clamp(fraction, 0.0, 1.0)), 20, bar_colour);
    s.text.draw(surface, 60, 270, std::to_string(static_cast<int>(fraction * 100)) + "%   Escape stops",
                style(14, grey));
}

}  // namespace

bool get_stage(screen_state& s, const chosen_song& song, prepared_stage& out) {
    std::atomic<bool> finished{false}, cancel{false};
    std::atomic<double> fraction{0};
    std::atomic<bool> converting{false};
    const ::library::stage_choice stage = s.stage;
    std::thread job([&] {
        out = s.calls.prepare(song.path, stage, [&](double f) {
            if (cancel) throw std::runtime_error("stopped");
            converting = true;
            fraction = f;
        });
        finished = true;
    });
    // A cached stage is found in a moment: the bar shows only for a conversion.
    std::uint32_t full_since = 0;
    wait_drawing(
        s,
        [&] {
            if (!finished) return false;
            if (!converting) return true;
            // The full bar stays a moment, so the player sees it end.
            if (full_since == 0) full_since = SDL_GetTicks();
            return SDL_GetTicks() - full_since >= 300;
        },
        [&](SDL_Surface* surface) {
            if (converting) draw_preparing(s, surface, song.title, finished ? 1.0 : fraction.load());
        },
        &cancel);
    job.join();
    if (!out.ok) {
        s.status = cancel ? "Preparing \"" + song.title + "\" stopped" : out.error;
        if (!cancel) say(out.error);
        return false;
    }
    if (!out.notes.empty()) say(out.notes);
    return true;
}

}  // namespace libraryscreen
