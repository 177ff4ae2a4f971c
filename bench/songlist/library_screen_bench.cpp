// The library screen's list over the music index with 30,000 songs, as the
// screen opens it (the song library and the music index in a scratch data
// folder): from opening the databases to the first list drawn, a frame with
// nothing to do, scrolling a row a frame, and a typed letter up to the
// redrawn list, on SDL's dummy video driver. Frames report their median,
// 90th percentile and worst. The time to the mapped window is
// scripts/cached_start.sh's business; this is what follows it.
#include <SDL.h>
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/report_spread.hpp"
#include "libraryscreen/index_source.hpp"
#include "libraryscreen/library_calls.hpp"
#include "musicindex/store.hpp"
#include "songlist/list_view.hpp"
#include "text/fonts.hpp"
#include "text/text_cache.hpp"

namespace {

using clock_type = std::chrono::steady_clock;
constexpr std::size_t song_count = 30000;

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

// A word of two syllables out of 256, so a typed letter matches a share of
// the songs as in a real library.
std::string word(std::size_t n) {
    static const char* const syllables[] = {"ka", "lo", "mi", "ren", "tor", "vel", "su", "an",
                                            "dri", "no", "bel", "ya", "zu", "qui", "fa", "ro"};
    const std::size_t h = (n * 2654435761u) % 256;
    return std::string(syllables[h / 16]) + syllables[h % 16];
}

// The scratch data folder with 30,000 songs in its music index, made once.
struct library_folder {
    std::string dir;
    library_folder() {
        char pattern[] = "/tmp/velmora-library-bench.XXXXXX";
        dir = ::mkdtemp(pattern);
        ::setenv("XDG_DATA_HOME", (dir + "/data").c_str(), 1);
        ::setenv("XDG_CACHE_HOME", (dir + "/cache").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
        std::string problem;
        libraryscreen::library_calls lib(problem);
        if (!lib.index()) return;
        std::vector<musicfiles::file_update> batch;
        for (std::size_t k = 0; k < song_count; ++k) {
            musicfiles::file_update u;
            u.path = "/music/artist " + std::to_string(k % 300) + "/" + std::to_string(k) + ".flac";
            u.size = 1000 + k;
            u.tags.title = word(k) + " " + word(k * 7 + 3) + " " + std::to_string(k);
            u.tags.artist = word(k % 300 + 11) + " " + word(k % 300 + 17);
            u.tags.duration = 120 + static_cast<double>(k % 200);
            batch.push_back(std::move(u));
            if (batch.size() == 1000) {
                musicindex::write_updates(lib.index(), batch, static_cast<std::int64_t>(k));
                batch.clear();
            }
        }
    }
    ~library_folder() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

library_folder& the_folder() {
    static library_folder f;
    return f;
}

struct screen {
    SDL_Surface* surface = nullptr;
    text::font_set fonts;
    text::text_cache cache{fonts};
    std::string problem;
    std::unique_ptr<libraryscreen::library_calls> lib;
    std::unique_ptr<libraryscreen::index_source> source;
    std::unique_ptr<songlist::list_view> view;
    std::uint32_t now = 0;

    screen() {
        the_folder();
        if (SDL_Init(SDL_INIT_VIDEO) != 0) return;
        surface = SDL_SetVideoMode(640, 480, 32, SDL_SWSURFACE);
    }
    // As the screen starts: the databases, the source, the list's first search, its first frame.
    void open() {
        view.reset();
        source.reset();
        lib = std::make_unique<libraryscreen::library_calls>(problem);
        source = std::make_unique<libraryscreen::index_source>(lib->index(), "standard");
        view = std::make_unique<songlist::list_view>(*source, cache, songlist::area{0, 0, 640, 456});
        view->settle();
        frame(nullptr, true);
    }
    void frame(const SDL_Event* e, bool everything = false) {
        now += 16;
        if (e) view->handle(*e, now);
        view->update(now);
        view->draw(surface, everything);
        SDL_UpdateRect(surface, 0, 0, 0, 0);
    }
};

screen& the_screen() {
    static screen s;
    return s;
}

SDL_Event key(SDLKey sym, Uint16 unicode = 0) {
    SDL_Event e{};
    e.type = SDL_KEYDOWN;
    e.key.keysym.sym = sym;
    e.key.keysym.unicode = unicode;
    return e;
}

template <class Body>
void timed(benchmark::State& state, Body body, bool opened = true) {
    screen& s = the_screen();
    if (!s.surface || !s.fonts.usable()) {
        state.SkipWithError("no dummy window or no fonts");
        return;
    }
    if (opened && !s.view) s.open();
    std::vector<double> micros;
    for (auto _ : state) {
        const double seconds = body(s);
        state.SetIterationTime(seconds);
        micros.push_back(seconds * 1e6);
    }
    if (s.view) state.counters["songs"] = static_cast<double>(s.view->total());
    report_spread(state, micros);
}

void BM_OpenToTheDrawnList(benchmark::State& state) {
    timed(
        state,
        [](screen& s) {
            const auto start = clock_type::now();
            s.open();
            return seconds_since(start);
        },
        false);
}
BENCHMARK(BM_OpenToTheDrawnList)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

void BM_FrameWithNothingToDo(benchmark::State& state) {
    timed(state, [](screen& s) {
        const auto start = clock_type::now();
        s.frame(nullptr);
        return seconds_since(start);
    });
}
BENCHMARK(BM_FrameWithNothingToDo)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_ScrollARowAFrame(benchmark::State& state) {
    const SDL_Event down = key(SDLK_DOWN), home = key(SDLK_HOME);
    timed(state, [&](screen& s) {
        const auto start = clock_type::now();
        s.frame(s.view->position() + 1 >= s.view->shown() ? &home : &down);
        return seconds_since(start);
    });
}
BENCHMARK(BM_ScrollARowAFrame)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(3000);

// From a letter's key press to the list drawn for it, frame by frame, a
// frame a sixtieth of a second after the last began; taken back untimed.
void BM_TypedLetterToTheRedrawnList(benchmark::State& state) {
    const char letters[] = "aeiklmnr";
    std::size_t k = 0;
    const SDL_Event back = key(SDLK_BACKSPACE, 8);
    int most_frames = 0;
    timed(state, [&](screen& s) {
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
        s.frame(&back);
        s.view->settle();
        s.frame(nullptr);
        return seconds;
    });
    state.counters["most_frames"] = most_frames;
}
BENCHMARK(BM_TypedLetterToTheRedrawnList)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(40);

}  // namespace

BENCHMARK_MAIN();
