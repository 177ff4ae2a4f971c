#include "playcommand/song_table.hpp"

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
    library::song_stage standard{"standard", "hard", 123456, 1700000000, library::result_row{}};
    standard.best->hits = 3823;
    standard.best->ratio = 8.947f;
    // Played at easy, its stage since removed from the library.
    library::song_stage easy{"dynamics", "easy", -1, 0, library::result_row{}};
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
