#include "frontend/song_table.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

using namespace frontend;

TEST(SongTable, ListsEachSongUnderTheHeaderWithThePathLast) {
    setenv("TZ", "UTC", 1);
    tzset();
    stagecache::song_row a;
    a.hash = "aa";
    a.path = "/music/a very long folder name/song.flac";
    a.duration = 3723.4;
    a.rate = 48000;
    a.channels = 2;
    a.events_standard = 123456;
    a.prepared_at = 1700000000;
    a.last_played_at = 1700003600;
    stagecache::song_row b;
    b.hash = "bb";
    b.path = "b\x1b]0;x\a.wav";  // a title-setting sequence in a name is shown, not sent
    b.duration = 59.6;
    b.rate = 44100;
    b.channels = 1;
    b.events_zetaflux = 0;
    b.prepared_at = 1700000000;
    // Bests as the result screen shows them: ratio, then hits.
    a.best_standard = stagecache::result_row{};
    a.best_standard->hits = 3823;
    a.best_standard->ratio = 8.947f;
    b.best_zetaflux = stagecache::result_row{};
    b.best_zetaflux->ratio = 513115.0f;
    // Tags name a song where the music tables know it; a long title is cut
    // whole characters at a time; a song without tags is named by its file.
    musicindex::song_entry tags;
    tags.title = "\xc3\x9c" "ber die Br\xc3\xbc" "cke, und noch viel weiter";
    tags.artist = "Band";
    EXPECT_EQ(format_song_table({a, b}, {{"aa", tags}}),
              "  LENGTH   RATE CH  STANDARD  ZETAFLUX   BEST STD  BEST ZETA  PREPARED          LAST PLAYED       "
              "TITLE                         ARTIST                SONG\n"
              " 1:02:03  48000  2    123456         -  8.94/3823          -  2023-11-14 22:13  2023-11-14 23:13  "
              "\xc3\x9c" "ber die Br\xc3\xbc" "cke, und noch v\xe2\x80\xa6  Band                  "
              "/music/a very long folder name/song.flac\n"
              "    1:00  44100  1         -         0          - 513115.00/0  2023-11-14 22:13  never             "
              "b?]0;x?                       -                     b?]0;x?.wav\n");
}
