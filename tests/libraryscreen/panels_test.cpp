// The library screen's panels: what the song panel reads of a song (its
// tags, its bests, its cover art from the tags or beside the file), what
// the result panel says of a run, and text laid out by its measured width.
#include <SDL.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "libraryscreen/board_panel.hpp"
#include "libraryscreen/cover_art.hpp"
#include "libraryscreen/dialogs.hpp"
#include "libraryscreen/library_calls.hpp"
#include "libraryscreen/text_layout.hpp"
#include "library/places.hpp"
#include "library/play_session.hpp"
#include "library/song_library.hpp"
#include "musicfiles/walk.hpp"
#include "stagecache/song_hash.hpp"
#include "support/scratch_dir.hpp"
#include "support/tagged_music.hpp"
#include "text/fonts.hpp"
#include "text/text_cache.hpp"

namespace {

// A PNG of w x h pixels all of one colour: rows of filter 0, deflated.
std::string solid_png(int w, int h, std::uint32_t rgb) {
    auto be32 = [](std::string& out, std::uint32_t v) {
        for (int i = 3; i >= 0; --i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
    };
    auto chunk = [&](std::string& png, const char* type, const std::string& data) {
        be32(png, static_cast<std::uint32_t>(data.size()));
        const std::string body = std::string(type, 4) + data;
        png += body;
        be32(png, static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(body.data()),
                                                   static_cast<uInt>(body.size()))));
    };
    std::string header;
    be32(header, static_cast<std::uint32_t>(w));
    be32(header, static_cast<std::uint32_t>(h));
    header += std::string("\x08\x02\x00\x00\x00", 5);  // 8-bit RGB
    std::string raw;
    for (int y = 0; y < h; ++y) {
        raw += '\0';
        for (int x = 0; x < w; ++x)
            raw += {static_cast<char>(rgb >> 16), static_cast<char>((rgb >> 8) & 0xFF), static_cast<char>(rgb & 0xFF)};
    }
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    std::string packed(size, '\0');
    compress(reinterpret_cast<Bytef*>(&packed[0]), &size, reinterpret_cast<const Bytef*>(raw.data()),
             static_cast<uLong>(raw.size()));
    packed.resize(size);
    std::string png = "\x89PNG\r\n\x1a\n";
    chunk(png, "IHDR", header);
    chunk(png, "IDAT", packed);
    chunk(png, "IEND", "");
    return png;
}

std::uint32_t pixel(const SDL_Surface* s, int x, int y) {
    return static_cast<const std::uint32_t*>(s->pixels)[static_cast<std::size_t>(y) * s->pitch / 4 + x] & 0xFFFFFF;
}

class Panels : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
        ::setenv("XDG_CACHE_HOME", (dir / "cache").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("XDG_DATA_HOME");
        ::unsetenv("XDG_CACHE_HOME");
        ::unsetenv("XDG_CONFIG_HOME");
    }
    test_support::scratch_dir dir;
};

}  // namespace

// Its tags, and its best run in each edition and difficulty played, by
// edition and then difficulty; a file the music tables do not hold is not
// found.
TEST_F(Panels, SongFactsAreTheTagsAndEveryBest) {
    const std::string folder = dir / "Music";
    std::filesystem::create_directories(folder);
    const std::string song = folder + "/night.flac";
    test_music::write_music(song, test_music::format::flac, {"夜の歌", "Night Band", "Late", 2, 2004, true});
    std::string problem;
    libraryscreen::library_calls calls(problem);
    ASSERT_EQ(problem, "");
    EXPECT_FALSE(calls.facts(song).found);
    std::string why;
    ASSERT_TRUE(calls.add_folder(folder, why)) << why;
    calls.scan({}, {}, why);
    ASSERT_EQ(why, "");

    stagecache::song_hash hash;
    ASSERT_TRUE(stagecache::hash_file(song, hash, why)) << why;
    {
        std::unique_ptr<library::song_library> lib = library::open_library(problem);
        ASSERT_TRUE(lib) << problem;
        library::record_play(*lib, song, hash.hex(), 1000);
        std::vector<library::result_row> runs;
        auto run = [&](const char* edition, const char* difficulty, std::int64_t hits, std::int64_t score, double ratio,
                       int n) {
            library::result_row r;
            r.song_hash = hash.hex();
            r.edition = edition;
            r.difficulty = difficulty;
            r.session = std::string("s") + std::to_string(n);
            r.run = 1;
            r.played_at = n;
            r.hits = hits;
            r.score = score;
            r.ratio = ratio;
            r.frames = 60;
            runs.push_back(r);
        };
        run("standard", "hard", 9, 135, 1.0, 1);
        run("dynamics", "normal", 3, 90, 2.0, 2);
        run("dynamics", "normal", 1, 90, 6.0, 3);  // the better one
        run("dynamics", "easy", 0, 40, 40.0, 4);
        run("dynamics", "normal", 0, 500, 500.0, 5);  // on another version's stage
        runs.back().stage = "board";
        for (const library::result_row& r : runs) lib->record_session({r});
    }
    const libraryscreen::song_facts f = calls.facts(song);
    ASSERT_TRUE(f.found);
    EXPECT_EQ(f.title, "夜の歌");
    EXPECT_EQ(f.artist, "Night Band");
    EXPECT_EQ(f.album, "Late");
    EXPECT_EQ(f.year, 2004);
    EXPECT_TRUE(f.tagged_cover);
    EXPECT_NEAR(f.seconds, 0.2, 0.05);
    ASSERT_EQ(f.bests.size(), 3u);
    EXPECT_EQ(f.bests[0].edition + " " + f.bests[0].difficulty, "dynamics easy");
    EXPECT_EQ(f.bests[1].edition + " " + f.bests[1].difficulty, "dynamics normal");
    EXPECT_EQ(f.bests[1].run.hits, 1);
    EXPECT_EQ(f.bests[1].run.ratio, 6.0) << "the other stage's better run is not this stage's best";
    EXPECT_TRUE(f.bests[1].own_stage);
    EXPECT_EQ(f.bests[2].edition + " " + f.bests[2].difficulty, "standard hard");
    EXPECT_EQ(f.bests[2].run.score, 135);
    const library::stage_choice played{converter::edition::dynamics, converter::difficulty::normal};
    // The result panel's previous best: of the stage played only.
    ASSERT_TRUE(calls.best_run(hash.hex(), played, ""));
    EXPECT_EQ(calls.best_run(hash.hex(), played, "")->hits, 1);
    ASSERT_TRUE(calls.best_run(hash.hex(), played, "board"));
    EXPECT_EQ(calls.best_run(hash.hex(), played, "board")->score, 500);
    EXPECT_FALSE(calls.best_run(hash.hex(), {converter::edition::dynamics, converter::difficulty::easy}, "board"));
    EXPECT_FALSE(calls.best_run(hash.hex(), {converter::edition::zetaflux, converter::difficulty::hard}, ""));
}

// The cover the tags hold, else cover or folder images beside the song, each
// fitted into the square with its shape kept; nothing without either.
TEST_F(Panels, CoverArtComesFromTheTagsElseFromBesideTheSong) {
    const std::string tagged = dir / "tagged.mp3";
    test_music::write_sound(tagged, test_music::format::mp3, 0.2, 3);
    test_music::write_tags(tagged, test_music::format::mp3, {"T", "A", "B", 1, 2000, true}, solid_png(100, 50, 0xFF00FF));
    libraryscreen::owned_surface c = libraryscreen::load_cover(tagged, true, 120);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->w, 120);
    EXPECT_EQ(c->h, 60);
    EXPECT_EQ(pixel(c.get(), 60, 30), 0xFF00FFu);

    // A small picture is enlarged twice at most.
    const libraryscreen::owned_surface small = libraryscreen::decode_cover(solid_png(10, 10, 0x00FF00), 120);
    ASSERT_TRUE(small);
    EXPECT_EQ(small->w, 20);
    EXPECT_EQ(pixel(small.get(), 5, 5), 0x00FF00u);

    // Tags whose picture is not one, and an untagged song: the image beside.
    const std::string folder = dir / "album";
    std::filesystem::create_directories(folder);
    const std::string bad = folder + "/bad.flac";
    test_music::write_music(bad, test_music::format::flac, {"T", "A", "B", 1, 2000, true});
    EXPECT_FALSE(libraryscreen::load_cover(bad, true, 120)) << "no picture beside it yet";
    { std::ofstream(folder + "/Folder.PNG", std::ios::binary) << solid_png(40, 40, 0x0000FF); }
    c = libraryscreen::load_cover(bad, true, 120);
    ASSERT_TRUE(c);
    EXPECT_EQ(pixel(c.get(), 10, 10), 0x0000FFu);
    { std::ofstream(folder + "/cover.jpg", std::ios::binary) << "not a picture"; }
    c = libraryscreen::load_cover(bad, false, 120);
    ASSERT_TRUE(c) << "cover.jpg comes first, and is no picture: Folder.PNG then";
    EXPECT_EQ(pixel(c.get(), 10, 10), 0x0000FFu);
    { std::ofstream(folder + "/COVER.png", std::ios::binary) << solid_png(40, 40, 0xFFFF00); }
    c = libraryscreen::load_cover(bad, false, 120);
    ASSERT_TRUE(c);
    EXPECT_EQ(pixel(c.get(), 10, 10), 0xFFFF00u) << "a cover before a folder image";
    EXPECT_FALSE(libraryscreen::load_cover(dir / "missing/none.ogg", false, 120));
}

// The result panel says the song, the stage and whose board it is, the
// run's figures, its rate and what the rate is, the best of that stage it
// had to beat and whether it is a new one.
TEST(ResultPanel, SaysWhatTheRunCameTo) {
    libraryscreen::run_report r;
    r.title = "Night";
    r.artist = "Band";
    r.edition = "dynamics";
    r.difficulty = "normal";
    r.run = {3, 90, 2.0};
    r.new_best = true;
    std::vector<std::string> lines = libraryscreen::result_lines(r);
    r.board = libraryscreen::board_words("aa", "aa", "Night (live)");
    EXPECT_EQ(lines, (std::vector<std::string>{"Night - Band", "dynamics edition, normal", "Hits: 3", "Score: 90",
                                                "Rate: 2.00  = score / (hits x 15); higher is better",
                                                "Previous best: none yet", "New best!"}));
    r.previous_best = libraryscreen::run_figures{1, 60, 4.0};
    r.new_best = false;
    r.run = {0, 40, 40.0};
    lines = libraryscreen::result_lines(r);
    EXPECT_EQ(lines.at(4), "Rate: 40.00  = the score, as nothing hit");
    EXPECT_EQ(lines.at(1), "dynamics edition, normal, own stage");
    EXPECT_EQ(lines.at(5), "Previous best: 4.00 (1 hit, score 60)");
    EXPECT_EQ(lines.size(), 6u) << "no new best";
    r.kept = false;
    EXPECT_EQ(libraryscreen::result_lines(r).back(), "This run could not be kept.");
    // Another stage than the own: the board of the version it came from, or just "board stage".
    const struct {
        const char* played;
        const char* title;
        const char* words;
    } boards[] = {{"aa", "", "own stage"}, {"bb", "Night (live)", "board of \"Night (live)\""}, {"bb", "", "board stage"}};
    for (const auto& b : boards) EXPECT_EQ(libraryscreen::board_words("aa", b.played, b.title), b.words) << b.played;
}

// The world board under the bests: the top runs, the player's own place
// after them when it is lower, and why when there is no board.
TEST(WorldLines, TopRunsThenThePlayersOwnPlace) {
    using libraryscreen::board_panel;
    using libraryscreen::world_line;
    libraryscreen::song_board b;
    b.ok = true;
    b.rows = {{1, "ada", 2, 60, 2.0, 11}, {2, "bea", 3, 45, 1.0, 12}, {3, "cy", 4, 30, 0.5, 13}};
    EXPECT_EQ(board_panel::panel_lines(b, "bea", 3),
              (std::vector<world_line>{{"#1 ada", "2.00/2", false}, {"#2 bea", "1.00/3", true}, {"#3 cy", "0.50/4", false}}));
    b.you = libraryscreen::board_row{7, "dee", 9, 9, 0.07, 14};
    EXPECT_EQ(board_panel::panel_lines(b, "dee", 2),
              (std::vector<world_line>{{"#1 ada", "2.00/2", false}, {"#2 bea", "1.00/3", false}, {"#7 dee", "0.07/9", true}}));
    // A place far down a big board the server only estimated says so.
    b.you = libraryscreen::board_row{123456, "dee", 9, 9, 0.07, 14, true};
    b.players = 2000000;
    EXPECT_EQ(board_panel::panel_lines(b, "dee", 1).back(), (world_line{"#~123,456 dee", "0.07/9", true}));
    EXPECT_EQ(board_panel::summary(b, "dee"), "World: you #~123,456 of 2000000, top 2.00 ada");
    b.rows.clear();
    EXPECT_EQ(board_panel::panel_lines(b, "dee", 3), (std::vector<world_line>{{"no runs yet", "", false}}));
    b.ok = false;
    b.why = "not prepared yet";
    EXPECT_EQ(board_panel::panel_lines(b, "dee", 3), (std::vector<world_line>{{"not prepared yet", "", false}}));
}

// Lines never wider than their room, broken at spaces, inside words too long
// for a line and between characters of scripts without spaces; a last line
// holding the rest when lines run out.
TEST(TextLayout, WrapsByMeasuredWidth) {
    text::font_set fonts;
    if (!fonts.usable()) GTEST_SKIP() << "no font";
    text::text_cache text(fonts);
    const std::string words = "The quick brown fox jumps over the lazy dog and keeps on running far away";
    const auto lines = libraryscreen::wrap_lines(text, words, 14, 150);
    ASSERT_GT(lines.size(), 2u);
    std::string joined;
    for (const std::string& l : lines) {
        EXPECT_LE(text.width(l, 14), 150) << l;
        joined += (joined.empty() ? "" : " ") + l;
    }
    EXPECT_EQ(joined, words);
    for (const std::string& l : libraryscreen::wrap_lines(text, std::string(60, 'W'), 14, 100))
        EXPECT_LE(text.width(l, 14), 100);
    const auto japanese = libraryscreen::wrap_lines(text, "東京タワーの夜東京タワーの夜東京タワーの夜", 14, 80);
    EXPECT_GT(japanese.size(), 1u);
    for (const std::string& l : japanese) EXPECT_LE(text.width(l, 14), 80) << l;
    const auto two = libraryscreen::wrap_lines(text, words, 14, 150, 2);
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[0], lines[0]);
    EXPECT_GT(text.width(two[1], 14), 150) << "the rest, for the drawing to cut with an ellipsis";
}
