#pragma once
// Songs for the list's tests and benchmarks: Latin titles numbered in order,
// one in ten in Japanese, a few artists, and played songs with and without a
// best.
#include <cstdio>
#include <string>
#include <vector>

#include "songlist/source.hpp"

namespace test_songs {

inline const char* const artists[] = {"Aurora Lane", "Büro Kollektiv", "Mizu no Oto", "The Static Pines",
                                      "Кино Север", "Lumen Drift", "空の楽団"};

inline std::vector<songlist::song_row> make(std::size_t n) {
    std::vector<songlist::song_row> rows;
    rows.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        songlist::song_row r;
        char number[24];
        std::snprintf(number, sizeof number, "%05zu", i);
        r.title = i % 10 == 7 ? std::string("夜の歌 ") + number : std::string("Song ") + number + " of the Night";
        r.artist = artists[i % (sizeof artists / sizeof artists[0])];
        r.seconds = 60.0 + static_cast<double>((i * 37) % 400);
        r.played = i % 3 == 0;
        if (r.played && i % 2 == 0)
            r.best = songlist::best_run{static_cast<float>(i % 97) / 10.0f, static_cast<std::uint32_t>(i % 13)};
        r.path = "/music/" + std::string(number) + ".ogg";
        rows.push_back(r);
    }
    return rows;
}

}  // namespace test_songs
