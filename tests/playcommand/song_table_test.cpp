#include "playcommand/song_table.hpp"

#include "playcommand/display_width.hpp"
#include "playcommand/music_commands.hpp"
#include "playcommand/online_commands.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

using namespace playcommand;

TEST(SongTable, ListsEachSongAndStageUnderTheHeaderWithThePathLast) {
    setenv("TZ", "UTC", 1);
    tzset();
    library::song_row a;
    a.hash = "aa";
    a.path = "/music/a very long folder name/song.flac";
    a.duration = 3723.4;
    a.rate = 48000;
    a.channels = 2;
    a.last_played_at = 1700003600;
    // Bests as the result screen shows them: ratio, then hits.
    library::song_stage standard{"standard", "hard", 123456, 1700000000, library::result_row{}, ""};
    standard.best->hits = 3823;
    standard.best->ratio = 8.947f;
    // Played at easy, its stage since removed from the library.
    library::song_stage easy{"dynamics", "easy", -1, 0, library::result_row{}, ""};
    easy.best->ratio = 513115.0f;
    a.stages = {standard, easy};
    library::song_row b;
    b.hash = "bb";
    b.path = "b\x1b]0;x\a.wav";  // a title-setting sequence in a name is shown, not sent
    b.duration = 59.6;
    b.rate = 44100;
    b.channels = 1;
    // Tags name a song where the music tables know it; a long title is cut
    // whole characters at a time; a song without tags is named by its file.
    musicindex::song_entry tags;
    tags.title = "\xc3\x9c" "ber die Br\xc3\xbc" "cke, und noch viel weiter";
    tags.artist = "Band";
    const std::string title = "\xc3\x9c" "ber die Br\xc3\xbc" "cke, und noch v\xe2\x80\xa6  Band                  ";
    EXPECT_EQ(format_song_table({a, b}, {{"aa", tags}}),
              "  LENGTH   RATE CH EDITION   LEVEL     EVENTS       BEST  PREPARED          LAST PLAYED       "
              "TITLE                         ARTIST                SONG\n"
              " 1:02:03  48000  2 standard  hard      123456  8.94/3823  2023-11-14 22:13  2023-11-14 23:13  " + title +
              "/music/a very long folder name/song.flac\n"
              " 1:02:03  48000  2 dynamics  easy           - 513115.00/0  -                 2023-11-14 23:13  " + title +
              "/music/a very long folder name/song.flac\n"
              "    1:00  44100  1 -         -              -          -  -                 never             "
              "b?]0;x?                       -                     b?]0;x?.wav\n");
}

TEST(SongTable, PrintableShowsEveryControlCharacterAsOneQuestionMark) {
    EXPECT_EQ(printable("a\x1b[31mb\n\x7f"), "a?[31mb??");
    // U+009B, which some terminals take for ESC [, beside letters of other scripts.
    EXPECT_EQ(printable("\xc2\x9b" "2J caf\xc3\xa9 \xc2\xa0\xe5\xa4\x9c"), "?2J caf\xc3\xa9 \xc2\xa0\xe5\xa4\x9c");
    // Bytes that are not UTF-8 (a Latin-1 name, a cut sequence, an overlong
    // slash) go as '?', one per ill-formed part.
    EXPECT_EQ(printable("caf\xe9.ogg \xe5\xa4 \xc0\xaf x\xff"), "caf?.ogg ? ?? x?");
}

// A terminal shows East Asian wide characters in two cells and combining
// marks in none; the tables count cells, not characters or bytes.
TEST(DisplayWidth, CountsTheCellsATerminalShows) {
    EXPECT_EQ(display_width("Night Drive"), 11u);
    EXPECT_EQ(display_width("\xe5\xa4\x9c\xe3\x81\xae\xe3\x83\x89\xe3\x83\xa9\xe3\x82\xa4\xe3\x83\x96"), 12u);  // 夜のドライブ
    EXPECT_EQ(display_width("\xef\xbc\xa1\xef\xbd\xb1"), 3u);  // fullwidth A, halfwidth katakana a
    EXPECT_EQ(display_width("cafe\xcc\x81"), 4u);               // e and a combining acute
    EXPECT_EQ(display_width("\xea\xb0\x80\xe1\x84\x80\xe1\x85\xa1"), 4u);  // 가, then ᄀ with a joined ᅡ
    EXPECT_EQ(display_width("\xf0\x9f\x8e\xb5"), 2u);          // a musical note emoji
    EXPECT_EQ(display_width("a\xe2\x80\x8b" "b"), 2u);        // a zero width space between
    EXPECT_EQ(display_width("\xff\xe3\x81"), 2u) << "each ill-formed part of what is not UTF-8 takes a cell";
    EXPECT_EQ(display_width("\xc0\xaf"), 2u) << "an overlong form is two ill-formed parts";
}

TEST(DisplayWidth, FitTextCutsWholeCharactersToTheCells) {
    const std::string night = "\xe5\xa4\x9c\xe3\x81\xae\xe3\x83\x89\xe3\x83\xa9\xe3\x82\xa4\xe3\x83\x96";  // 夜のドライブ, 12 cells
    EXPECT_EQ(fit_text(night, 12), night);
    EXPECT_EQ(fit_text(night, 7), "\xe5\xa4\x9c\xe3\x81\xae\xe3\x83\x89\xe2\x80\xa6");  // 夜のド…
    // A wide character that would end in the ellipsis's cell is left out;
    // the column is padded to its width.
    EXPECT_EQ(fit_text(night, 6), "\xe5\xa4\x9c\xe3\x81\xae\xe2\x80\xa6");
    EXPECT_EQ(column_text(night, 6), "\xe5\xa4\x9c\xe3\x81\xae\xe2\x80\xa6 ");
    EXPECT_EQ(display_width(column_text(night, 6)), 6u);
    // Combining marks stay with the letter they follow.
    EXPECT_EQ(fit_text("e\xcc\x81" "e\xcc\x81" "e\xcc\x81" "e\xcc\x81", 3), "e\xcc\x81" "e\xcc\x81" "\xe2\x80\xa6");
    EXPECT_EQ(column_text("e\xcc\x81", 3), "e\xcc\x81  ");
}

// Rows of Japanese, accented and plain titles line up: every column after
// the title starts at the same cell.
TEST(DisplayWidth, SearchAndListTablesLineUpByCells) {
    std::vector<musicindex::song_entry> songs(3);
    songs[0].title = "\xe5\xa4\x9c\xe3\x81\xae\xe3\x83\x89\xe3\x83\xa9\xe3\x82\xa4\xe3\x83\x96\xe3\x81\xa8\xe9\x9b\xa8\xe3\x81\xae\xe9\x9f\xb3\xe3\x81\xa8\xe6\x9c\x9d";
    songs[0].artist = "\xe5\xb1\xb1\xe7\x94\xb0";
    songs[0].album = "\xe3\x82\xa2\xe3\x83\xab\xe3\x83\x90\xe3\x83\xa0";
    songs[1].title = "Cafe\xcc\x81 Nocturne";
    songs[1].artist = "Trio";
    songs[2].title = "Plain";
    for (auto& s : songs) {
        s.path = "/m/x.flac";
        s.duration = 61.0;
    }
    const std::string table = format_music_table(songs);
    std::vector<std::size_t> length_at;
    for (std::size_t at = 0; at < table.size();) {
        const std::size_t end = table.find('\n', at);
        const std::string line = table.substr(at, end - at);
        // Where the LENGTH column ends, in cells: after its name, or the length.
        const bool header = at == 0;
        const std::size_t length = line.find(header ? "LENGTH" : "1:01");
        ASSERT_NE(length, std::string::npos) << line;
        length_at.push_back(display_width(line.substr(0, length + (header ? 6 : 4))));
        at = end + 1;
    }
    ASSERT_EQ(length_at.size(), 4u);
    for (std::size_t n : length_at) EXPECT_EQ(n, length_at[0]) << table;

    library::song_row row;
    row.hash = "aa";
    row.path = "/m/x.flac";
    musicindex::song_entry tags;
    tags.title = songs[0].title;
    tags.artist = songs[0].artist;
    const std::string list = format_song_table({row, row}, {{"aa", tags}});
    const std::size_t first_end = list.find('\n');
    const std::string header = list.substr(0, first_end), first = list.substr(first_end + 1, list.find('\n', first_end + 1) - first_end - 1);
    EXPECT_EQ(display_width(header.substr(0, header.find("SONG"))), display_width(first.substr(0, first.find("/m/x.flac"))))
        << list;
}

// The printed board: the top runs, then the player's own place when lower,
// marked as an estimate when the server only estimated it.
TEST(SongTable, BoardPrintsAnEstimatedPlaceAsSuch) {
    online::board b;
    b.entries = {{1, "ada", 2, 60, 2.0, 11, 1, false}};
    b.you = online::board_entry{1234567, "dee", 9, 9, 0.07, 14, 1, true};
    b.players = 2000000;
    const std::string text = format_board(b, "dee");
    EXPECT_NE(text.find("\n~1,234,567  dee "), std::string::npos) << text;
    EXPECT_NE(text.find("\n    1  ada "), std::string::npos) << text;
    b.you->rank_estimate = false;
    EXPECT_NE(format_board(b, "dee").find("\n1234567  dee "), std::string::npos);
}
