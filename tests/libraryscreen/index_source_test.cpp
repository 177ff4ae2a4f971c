#include "libraryscreen/index_source.hpp"

#include <gtest/gtest.h>

#include "library_db.hpp"
#include "musicindex/store.hpp"

using libraryscreen::index_source;
using musicindex_test::library_db;
using songlist::song_id;
using songlist::song_row;
using songlist::sort_order;

namespace {

void add_file(library_db& db, const char* path, const char* title, const char* artist, const char* hash,
              std::int64_t added_at) {
    musicfiles::file_update u;
    u.path = path;
    u.size = 10;
    u.song_hash = hash;
    u.tags.title = title;
    u.tags.artist = artist;
    musicindex::write_updates(db, {u}, added_at);
}

std::string titles(index_source& source, const std::vector<song_id>& ids) {
    std::string s;
    for (song_id id : ids) {
        song_row r;
        s += (s.empty() ? "" : "|") + (source.row(id, r) ? r.title : std::string("?"));
    }
    return s;
}

}  // namespace

TEST(IndexSource, ListsSearchesAndSortsWithBestsAndStableIds) {
    library_db db;
    add_file(db, "/m/b.flac", "Bravo", "Zed", "h1", 100);
    add_file(db, "/m/a.ogg", "Alpha", "Yan", "h2", 200);
    add_file(db, "/m/untagged song.wav", "", "", "", 300);
    db.exec("INSERT INTO songs (hash, path, duration, rate, channels, last_played_at) VALUES ('h1', '/m/b.flac', 1,"
            " 44100, 2, 50)");
    // A better run on another version's stage is not the best of the stage the song plays.
    db.exec("INSERT INTO results (song_hash, edition, difficulty, session, run, played_at, hits, score, ratio, frames,"
            " offset_ms, stage_hash) VALUES ('h1', 'standard', 'hard', 's', 1, 10, 4, 1, 12.5, 1, 0, NULL),"
            " ('h1', 'zetaflux', 'hard', 't', 1, 11, 9, 1, 3.0, 1, 0, NULL),"
            " ('h1', 'standard', 'hard', 'v', 1, 12, 0, 1, 99.0, 1, 0, 'board')");

    index_source source(db, "standard");
    EXPECT_EQ(source.count(), 3u);
    const std::vector<song_id> all = source.search("", sort_order::title);
    // A song without a title shows its file's name (and sorts as no title).
    EXPECT_EQ(titles(source, all), "untagged song|Alpha|Bravo");
    EXPECT_EQ(titles(source, source.search("", sort_order::added)), "untagged song|Alpha|Bravo");
    EXPECT_EQ(titles(source, source.search("bra", sort_order::title)), "Bravo");
    EXPECT_EQ(titles(source, source.search("yan", sort_order::title)), "Alpha");

    // Ids stay with their songs whatever the order.
    EXPECT_EQ(source.search("bravo", sort_order::title).front(), all[2]);
    EXPECT_EQ(source.path(all[2]), "/m/b.flac");
    EXPECT_EQ(source.path(999), "");

    song_row r;
    ASSERT_TRUE(source.row(all[2], r));
    ASSERT_TRUE(r.best.has_value());
    EXPECT_FLOAT_EQ(r.best->ratio, 12.5f);
    EXPECT_EQ(r.best->hits, 4u);
    EXPECT_TRUE(r.played);
    ASSERT_TRUE(source.row(all[1], r));
    EXPECT_FALSE(r.played) << "the never-played mark";
    EXPECT_FALSE(r.best.has_value());

    // Once the board's stage is the one it plays, the board's run is its best.
    db.exec("INSERT INTO board_stages VALUES ('h1', 'standard', 'hard', 'board', '/b.pat', 0, 1, '', 1)");
    source.search("", sort_order::title);
    ASSERT_TRUE(source.row(all[2], r));
    EXPECT_FLOAT_EQ(r.best->ratio, 99.0f);
    db.exec("DELETE FROM board_stages");

    source.set_query("zetaflux", "hard");
    source.search("", sort_order::title);
    ASSERT_TRUE(source.row(all[2], r));
    EXPECT_FLOAT_EQ(r.best->ratio, 3.0f);
    EXPECT_EQ(source.error(), "");

    // Songs and runs stored after the rows were read show at the next
    // search, typed or not: the rows held between letters are not stale.
    add_file(db, "/m/c.mp3", "Charlie bravo", "Xu", "h3", 400);
    db.exec("INSERT INTO results (song_hash, edition, difficulty, session, run, played_at, hits, score, ratio, frames,"
            " offset_ms) VALUES ('h2', 'zetaflux', 'hard', 'u', 1, 12, 2, 1, 7.0, 1, 0)");
    add_file(db, "/m/d.flac", "日本の歌", "Kana", "h4", 500);
    EXPECT_EQ(titles(source, source.search("bra", sort_order::title)), "Bravo|Charlie bravo");
    // Each way a search matches: a word, a short part and a long part of a
    // script without spaces, and both kinds at once.
    EXPECT_EQ(titles(source, source.search("日本", sort_order::title)), "日本の歌");
    EXPECT_EQ(titles(source, source.search("本の歌", sort_order::title)), "日本の歌");
    EXPECT_EQ(titles(source, source.search("本の歌 kana", sort_order::title)), "日本の歌");
    EXPECT_EQ(titles(source, source.search("charl 歌", sort_order::title)), "");
    EXPECT_EQ(titles(source, source.search("", sort_order::best)), "Alpha|Bravo|untagged song|Charlie bravo|日本の歌");
    ASSERT_TRUE(source.row(all[1], r));
    ASSERT_TRUE(r.best.has_value());
    EXPECT_FLOAT_EQ(r.best->ratio, 7.0f);
}

TEST(IndexSource, AFailingQueryIsAnEmptyListWithItsReason) {
    library_db db;
    db.exec("DROP TABLE files");
    index_source source(db, "standard");
    EXPECT_TRUE(source.search("", sort_order::title).empty());
    EXPECT_NE(source.error(), "");
    EXPECT_EQ(source.count(), 0u);
}
