// The library screen's list over the music index with 30,000 songs, as the
// screen opens it (the song library and the music index in a scratch data
// folder): from opening the databases to the first list drawn, a frame with
// nothing to do, scrolling a row a frame, a typed letter up to the redrawn
// list, and words typed letter by letter, on SDL's dummy video driver.
// Frames report their median, 90th and 99th percentiles and worst. The time to the mapped window is
// scripts/cached_start.sh's business; this is what follows it.
#include <SDL.h>
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/report_spread.hpp"
#include <httplib.h>

#include "libraryscreen/board_panel.hpp"
#include "libraryscreen/index_source.hpp"
#include "libraryscreen/library_calls.hpp"
#include "libraryscreen/online_calls.hpp"
#include "libraryscreen/song_panel.hpp"
#include "library/prepare.hpp"
#include "library/submissions.hpp"
#include "vaz/files.hpp"
#include "online/account.hpp"
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
        source = std::make_unique<libraryscreen::index_source>(lib->index(), "standard", "hard");
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

// Words typed letter by letter, each letter's list timed up to its redraw,
// then cleared with Escape: nearly every prefix is new to the source, as a
// user's typing is, and the common first letters match a fifth of the songs.
void BM_TypedWordsLetterByLetter(benchmark::State& state) {
    static const char* const words[] = {"kar", "lom", "mir", "ren", "tor", "vel", "sua", "and",
                                        "dri", "nob", "bel", "yaz", "zuq", "qui", "far", "rok"};
    const SDL_Event escape = key(SDLK_ESCAPE, 27);
    std::size_t w = 0, at = 0;
    int most_frames = 0;
    timed(state, [&](screen& s) {
        const char* word = words[w % 16];
        const SDL_Event letter = key(SDLK_a, static_cast<Uint16>(word[at]));
        const auto start = clock_type::now();
        s.frame(&letter);
        int frames = 1;
        for (; s.view->busy(); ++frames) {
            std::this_thread::sleep_until(start + std::chrono::microseconds(16667 * frames));
            s.frame(nullptr);
        }
        const double seconds = seconds_since(start);
        most_frames = std::max(most_frames, frames);
        if (word[++at] == '\0') {
            at = 0;
            ++w;
            s.frame(&escape);
            s.view->settle();
            s.frame(nullptr);
        }
        return seconds;
    });
    state.counters["most_frames"] = most_frames;
}
BENCHMARK(BM_TypedWordsLetterByLetter)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(48);

// A scoreboard server on 127.0.0.1 that answers every board after 30 ms
// and takes every session, leaving it pending, so the sender keeps asking.
struct slow_server {
    httplib::Server server;
    int port = 0;
    std::thread thread;
    slow_server() {
        server.Get(".*", [](const httplib::Request& req, httplib::Response& res) {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            if (req.path.rfind("/v1/boards/", 0) == 0)
                res.set_content(R"({"entries":[{"rank":1,"player":"Mira","hits":12,"score":900,"ratio":7.5,"session":3,"run":1}],)"
                                R"("you":null,"players":41})", "application/json");
            else
                res.set_content(R"({"status":"pending","stages":[]})", "application/json");
        });
        server.Post(".*", [](const httplib::Request&, httplib::Response& res) {
            static std::atomic<int> id{0};
            res.status = 202;
            res.set_content(R"({"session":)" + std::to_string(++id) + R"(,"status":"pending"})", "application/json");
        });
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
    }
    ~slow_server() {
        server.stop();
        thread.join();
    }
};

// A frame of the list scrolling a row, with the song panel (its facts read
// on its thread, the world board's lines under them) and the keys line's
// board summary, while the highlighted song's board loads again every 20
// frames from a slow server and 200 queued sessions are sent on the
// sender's thread.
void BM_ScrollWhileBoardsLoadAndSessionsSend(benchmark::State& state) {
    screen& s = the_screen();
    if (!s.surface || !s.fonts.usable()) {
        state.SkipWithError("no dummy window or no fonts");
        return;
    }
    if (!s.view) s.open();
    slow_server server;
    const std::string url = "http://127.0.0.1:" + std::to_string(server.port);
    const std::string data = the_folder().dir + "/data/velmora", song = the_folder().dir + "/song.raw";
    // One real file with a stage in the cache, so each load goes to the server.
    {
        FILE* f = std::fopen(song.c_str(), "wb");
        std::fputs("a song", f);
        std::fclose(f);
        vaz::hash_128 h;
        std::string why;
        vaz::hash_file(song, h, why);
        const stagecache::stage_cache cache(the_folder().dir + "/cache/velmora");
        std::filesystem::create_directories(std::filesystem::path(cache.entry_path(h, library::stage_key_of(
                                                converter::edition::standard, converter::difficulty::hard))).parent_path());
        FILE* st = std::fopen(cache.entry_path(h, library::stage_key_of(converter::edition::standard,
                                                                        converter::difficulty::hard)).c_str(), "wb");
        std::fputs("stage bytes", st);
        std::fclose(st);
    }
    std::filesystem::create_directories(the_folder().dir + "/config/velmora");
    online::save_account({url, "bench", "t0k"});
    for (int i = 0; i < 200; ++i) {
        s.lib->songs()->with_database([&](sqlite3* db) {
            sql::statement st(db,
                              "INSERT OR REPLACE INTO submissions (session, song_hash, edition, difficulty, server,"
                              " stage_file, replay_file, queued_at) VALUES (?1, 'h', 'standard', 'hard', ?2, ?1, ?1, 1)",
                              "bench");
            st.bind(1, "bench-" + std::to_string(i)).bind(2, url);
            st.run();
            return 0;
        });
        FILE* copy = std::fopen((data + "/outbox/bench-" + std::to_string(i)).c_str(), "wb");
        if (!copy) {
            std::filesystem::create_directories(data + "/outbox");
            copy = std::fopen((data + "/outbox/bench-" + std::to_string(i)).c_str(), "wb");
        }
        std::fputs("bytes", copy);
        std::fclose(copy);
    }
    libraryscreen::online_calls online(*s.lib);
    libraryscreen::board_panel boards(online);
    libraryscreen::song_panel panel(*s.lib, s.cache, {408, 0, 232, 456});
    const SDL_Event down = key(SDLK_DOWN), home = key(SDLK_HOME);
    std::vector<double> micros;
    std::size_t loaded = 0;
    for (auto _ : state) {
        const auto start = clock_type::now();
        s.frame(s.view->position() + 1 >= s.view->shown() ? &home : &down);
        boards.want(song, library::stage_choice{}, s.now);
        const std::optional<libraryscreen::song_board> b = boards.find(song, library::stage_choice{});
        const std::string line = b ? libraryscreen::board_panel::summary(*b, "bench") : "World: loading...";
        loaded += b && b->ok;
        const songlist::song_row* row = s.view->highlighted_row();
        panel.show(row ? row->path : std::string(), row ? row->title : std::string());
        panel.draw(s.surface, library::stage_choice{}, false,
                   b ? libraryscreen::board_panel::panel_lines(*b, "bench", 3)
                     : std::vector<libraryscreen::world_line>{{"loading...", "", false}});
        s.cache.draw(s.surface, 8, 460, line, {13, 0xA0A0A0, 0}, 624);
        const double seconds = seconds_since(start);
        state.SetIterationTime(seconds);
        micros.push_back(seconds * 1e6);
        if (micros.size() % 20 == 0) boards.forget();
        // At the screen's pace, so the threads beside it run as they would.
        std::this_thread::sleep_until(start + std::chrono::microseconds(16667));
    }
    std::size_t sent = 0;
    for (const library::submission& one : library::all_submissions(*s.lib->songs(), url))
        sent += one.state != library::submission_state::queued;
    state.counters["frames_with_board"] = static_cast<double>(loaded);
    state.counters["sessions_sent"] = static_cast<double>(sent);
    report_spread(state, micros);
    online::forget_account();
}
BENCHMARK(BM_ScrollWhileBoardsLoadAndSessionsSend)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(1200);

}  // namespace

BENCHMARK_MAIN();
