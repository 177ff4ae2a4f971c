// The song list's frames with 30,000 songs held in memory, drawn into the
// window on SDL's dummy video driver: a whole redraw, a frame with nothing
// to do, scrolling a row or a page a frame, and a typed letter up to the
// redrawn list. Each reports its median, 90th percentile and worst frame.
#include <SDL.h>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "bench/report_spread.hpp"
#include "songlist/list_view.hpp"
#include "songlist/memory_source.hpp"
#include "support/song_rows.hpp"
#include "text/fonts.hpp"
#include "text/text_cache.hpp"

namespace {

using clock_type = std::chrono::steady_clock;
constexpr std::size_t song_count = 30000;

struct scene {
    SDL_Surface* screen = nullptr;
    songlist::memory_source source{test_songs::make(song_count)};
    text::font_set fonts;
    text::text_cache cache{fonts};
    std::unique_ptr<songlist::list_view> view;
    std::uint32_t now = 0;

    scene() {
        if (SDL_Init(SDL_INIT_VIDEO) != 0) return;
        screen = SDL_SetVideoMode(640, 480, 32, SDL_SWSURFACE);
        view = std::make_unique<songlist::list_view>(source, cache);
        view->settle();
    }
    // One frame as the screen runs it: events, update, draw, the changed
    // rectangles shown.
    void frame(const SDL_Event* e, bool everything = false) {
        now += 16;
        if (e) view->handle(*e, now);
        view->update(now);
        auto& rects = view->draw(screen, everything);
        if (!rects.empty()) SDL_UpdateRects(screen, static_cast<int>(rects.size()), const_cast<SDL_Rect*>(rects.data()));
    }
};

scene& the_scene() {
    static scene s;
    return s;
}

SDL_Event key(SDLKey sym, Uint16 unicode = 0) {
    SDL_Event e{};
    e.type = SDL_KEYDOWN;
    e.key.keysym.sym = sym;
    e.key.keysym.unicode = unicode;
    return e;
}

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

// The body returns the seconds it measured.
template <class Body>
void timed_frames(benchmark::State& state, Body body) {
    scene& s = the_scene();
    if (!s.screen || !s.fonts.usable()) {
        state.SkipWithError("no dummy window or no fonts");
        return;
    }
    std::vector<double> micros;
    for (auto _ : state) {
        const double seconds = body(s);
        state.SetIterationTime(seconds);
        micros.push_back(seconds * 1e6);
    }
    state.counters["songs"] = static_cast<double>(s.view->total());
    report_spread(state, micros);
}

void BM_WholeRedraw(benchmark::State& state) {
    timed_frames(state, [](scene& s) {
        const auto start = clock_type::now();
        s.frame(nullptr, true);
        return seconds_since(start);
    });
}
BENCHMARK(BM_WholeRedraw)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_FrameWithNothingToDo(benchmark::State& state) {
    timed_frames(state, [](scene& s) {
        const auto start = clock_type::now();
        s.frame(nullptr);
        return seconds_since(start);
    });
}
BENCHMARK(BM_FrameWithNothingToDo)->UseManualTime()->Unit(benchmark::kMicrosecond);

// A row a frame (a held key, the d-pad) or a page a frame (every row new,
// its text not drawn before), wrapping at the end.
void scroll_frames(benchmark::State& state, SDLKey step) {
    const SDL_Event down = key(step), home = key(SDLK_HOME);
    timed_frames(state, [&](scene& s) {
        const auto start = clock_type::now();
        s.frame(s.view->position() + 1 >= s.view->shown() ? &home : &down);
        return seconds_since(start);
    });
}
void BM_ScrollARowAFrame(benchmark::State& state) { scroll_frames(state, SDLK_DOWN); }
BENCHMARK(BM_ScrollARowAFrame)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(3000);
void BM_ScrollAPageAFrame(benchmark::State& state) { scroll_frames(state, SDLK_PAGEDOWN); }
BENCHMARK(BM_ScrollAPageAFrame)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(1000);

// From the key press of a letter to the list drawn for it, frame by frame as
// the screen runs: a frame that could not draw the answer yet is followed by
// the next one a sixtieth of a second after it began. The letter is taken
// back untimed.
void BM_TypedLetterToTheRedrawnList(benchmark::State& state) {
    const char letters[] = "aeinostr";
    std::size_t k = 0;
    const SDL_Event back = key(SDLK_BACKSPACE, 8);
    int most_frames = 0;  // beyond one, each frame would add a paced frame's wait
    int over_16ms = 0;
    timed_frames(state, [&](scene& s) {
        const SDL_Event letter = key(SDLK_a, static_cast<Uint16>(letters[k++ % 8]));
        const auto start = clock_type::now();
        s.frame(&letter);
        int frames = 1;
        for (; s.view->busy(); ++frames) {
            std::this_thread::sleep_until(start + std::chrono::microseconds(16667 * frames));
            s.frame(nullptr);
        }
        const double seconds = seconds_since(start);
        most_frames = std::max(most_frames, frames);
        over_16ms += seconds > 0.016;
        s.frame(&back);
        s.view->settle();
        s.frame(nullptr);
        return seconds;
    });
    state.counters["most_frames"] = most_frames;
    state.counters["over_16ms"] = over_16ms;
}
BENCHMARK(BM_TypedLetterToTheRedrawnList)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(200);

}  // namespace

BENCHMARK_MAIN();
