#include "frontend/song_table.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

using namespace frontend;

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
    EXPECT_EQ(format_song_table({a, b}),
              "  LENGTH   RATE CH EDITION   LEVEL     EVENTS       BEST  PREPARED          LAST PLAYED       SONG\n"
              " 1:02:03  48000  2 standard  hard      123456  8.94/3823  2023-11-14 22:13  2023-11-14 23:13  "
              "/music/a very long folder name/song.flac\n"
              " 1:02:03  48000  2 dynamics  easy           - 513115.00/0  -                 2023-11-14 23:13  "
              "/music/a very long folder name/song.flac\n"
              "    1:00  44100  1 -         -              -          -  -                 never             b?]0;x?.wav\n");
}
