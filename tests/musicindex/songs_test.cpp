#include "musicindex/songs.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "library_db.hpp"
#include "musicindex/store.hpp"

using namespace musicindex;
using musicindex_test::library_db;

namespace {

struct song {
    const char* path;
    const char* title;
    const char* artist;
    const char* album;
    int track;
    const char* hash;
    std::int64_t added_at;
};

// Seven songs as a scan would have written them; three were played.
void fill(library_db& db) {
    const song songs[] = {
        {"/m/01 - intro.flac", "Café del Mar", "Energy 52", "Café del Mar", 1, "h1", 100},
        {"/m/tokyo.mp3", "東京タワーの夜", "ゆず", "夜景", 2, "h2", 300},
        {"/m/elise.ogg", "Für Elise", "Ludwig van Beethoven", "Bagatellen", 25, "", 200},
        {"/m/rock.flac", "Rock'n'Roll Train", "AC/DC", "Black Ice", 1, "h4", 400},
        {"/m/near.mp3", "NEAR OR NOT", "Operators AND Co", "title: quoted \"x\"", 3, "", 500},
        {"/m/star.ogg", "★Starlight", "", "", 0, "", 600},
        {"/m/gone.flac", "Gone Song", "Ghost", "", 0, "h7", 700},
    };
    for (const song& s : songs) {
        musicfiles::file_update u;
        u.path = s.path;
        u.size = 10;
        u.song_hash = s.hash;
        u.tags.title = s.title;
        u.tags.artist = s.artist;
        u.tags.album = s.album;
        u.tags.track = s.track;
        write_updates(db, {u}, s.added_at);
    }
    musicfiles::file_update gone;
    gone.change = musicfiles::file_change::gone;
    gone.path = "/m/gone.flac";
    write_updates(db, {gone}, 800);
    db.exec("INSERT INTO songs (hash, path, duration, rate, channels, last_played_at) VALUES"
            " ('h1', '/m/01 - intro.flac', 1, 44100, 2, 50), ('h2', '/m/tokyo.mp3', 1, 44100, 2, 90),"
            " ('h4', '/m/rock.flac', 1, 44100, 2, 70);");
    // h1 and h4 tie on ratio: fewer hits wins; h2 has runs only in another difficulty.
    db.exec("INSERT INTO results (song_hash, edition, difficulty, session, run, played_at, hits, score, ratio,"
            " frames, offset_ms) VALUES"
            " ('h1', 'standard', 'hard', 'a', 1, 10, 5, 1, 9.5, 1, 0), ('h1', 'standard', 'hard', 'a', 2, 11, 9, 1, 3.0, 1, 0),"
            " ('h4', 'standard', 'hard', 'b', 1, 12, 2, 1, 9.5, 1, 0), ('h2', 'standard', 'easy', 'c', 1, 13, 0, 1, 20, 1, 0),"
            " ('h1', 'zetaflux', 'hard', 'd', 1, 14, 0, 1, 30, 1, 0);");
}

std::string titles(const std::vector<song_entry>& songs) {
    std::string s;
    for (const song_entry& e : songs) s += (s.empty() ? "" : "|") + e.title;
    return s;
}

}  // namespace

TEST(Search, MatchesWordsInAnyOrderCaseAndAccentsAndPartsOfSpacelessScripts) {
    library_db db;
    fill(db);
    struct row {
        const char* typed;
        const char* expected;
    } rows[] = {
        {"cafe", "Café del Mar"},                      // accents
        {"CAFÉ", "Café del Mar"},                      // case
        {"mar energy", "Café del Mar"},                // words in any order, artist and title
        {"beeth", "Für Elise"},                        // a prefix
        {"fur eli", "Für Elise"},
        {"intro", "Café del Mar"},                     // the file name
        {"bagatellen 25", ""},                         // the track number is not text
        {"タワー", "東京タワーの夜"},                 // a part of a Japanese word
        {"東京", "東京タワーの夜"},                   // two characters
        {"ゆず 夜景", "東京タワーの夜"},
        {"夜 tower", ""},                              // every word must match
        {"★", "★Starlight"},
        {"ac/dc", "Rock'n'Roll Train"},
        {"rock'n", "Rock'n'Roll Train"},
        {"NEAR", "NEAR OR NOT"},                       // operators are words
        {"OR NOT", "NEAR OR NOT"},
        {"and", "NEAR OR NOT"},
        {"title:", "NEAR OR NOT"},                     // a column name is a word
        {"\"x\"", "NEAR OR NOT"},
        {"ghost", ""},                                 // missing songs are left out
    };
    for (const row& r : rows) EXPECT_EQ(titles(search_songs(db, r.typed, {})), r.expected) << r.typed;
}

TEST(Search, NoTypedTextMakesTheQueryFail) {
    library_db db;
    fill(db);
    const char* nasty[] = {"\"", "\"\"\"", "*", "a*b*", "NEAR(", "NEAR(a b, 3)", "^start", "-", "(", ")", "{title}: x",
                           "a OR", "AND", "NOT", "col:", ":", "'", "\\", "%", "_", "\xff\xfe", "x\ny\tz", "\x1b[2J",
                           "東", "a\"b", "+", "..."};
    for (const char* typed : nasty) EXPECT_NO_THROW(search_songs(db, typed, {})) << typed;
    // Punctuation alone is looked for as it is; nothing typed, every song.
    EXPECT_EQ(titles(search_songs(db, "-", {})), "Café del Mar");
    EXPECT_EQ(titles(search_songs(db, "\"x\"", {})), "NEAR OR NOT");
    EXPECT_EQ(search_songs(db, "  ", {}).size(), 6u);
    // Any number of words, short ones included, is one search, not an
    // expression too deep for SQLite.
    std::string many = "mar";
    for (int i = 0; i < 990; ++i) many += std::string(" ") + static_cast<char>('a' + i % 3) + "\"";
    EXPECT_EQ(titles(search_songs(db, many, {})), "");
    EXPECT_EQ(matching_files(db, many).size(), 0u);
    std::string dashes, kanji;
    for (int i = 0; i < 990; ++i) {
        dashes += " -";
        kanji += " 東";
    }
    EXPECT_EQ(titles(search_songs(db, dashes, {})), "Café del Mar");
    EXPECT_EQ(titles(search_songs(db, kanji, {})), "東京タワーの夜");
    EXPECT_EQ(matching_files(db, kanji).size(), 1u);
    EXPECT_EQ(titles(search_songs(db, dashes + kanji, {})), "");
    EXPECT_EQ(parse_search("say \"hi\" NEAR*").words, "\"say\"* \"\"\"hi\"\"\"* \"NEAR*\"*");
}

TEST(List, SortOrders) {
    library_db db;
    fill(db);
    struct row {
        sort_order sort;
        const char* expected;
    } rows[] = {
        {sort_order::title, "Café del Mar|Für Elise|NEAR OR NOT|Rock'n'Roll Train|★Starlight|東京タワーの夜"},
        {sort_order::artist, "Rock'n'Roll Train|Café del Mar|Für Elise|NEAR OR NOT|東京タワーの夜|★Starlight"},
        {sort_order::album, "Für Elise|Rock'n'Roll Train|Café del Mar|NEAR OR NOT|東京タワーの夜|★Starlight"},
        {sort_order::added, "★Starlight|NEAR OR NOT|Rock'n'Roll Train|東京タワーの夜|Für Elise|Café del Mar"},
        {sort_order::played, "東京タワーの夜|Rock'n'Roll Train|Café del Mar|Für Elise|NEAR OR NOT|★Starlight"},
        {sort_order::best, "Rock'n'Roll Train|Café del Mar|Für Elise|NEAR OR NOT|★Starlight|東京タワーの夜"},
    };
    for (const row& r : rows) EXPECT_EQ(titles(list_songs(db, {r.sort, "standard", "hard"})), r.expected);
    // The same order in C++, from the table's other column, whatever order the rows come in.
    auto lower = [](std::string t) {
        for (char& c : t) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return t;
    };
    for (const row& r : rows) {
        std::vector<song_entry> songs = list_songs(db, {sort_order::title, "standard", "hard"});
        std::reverse(songs.begin(), songs.end());
        std::stable_sort(songs.begin(), songs.end(), [&](const song_entry& a, const song_entry& b) {
            auto keys = [&](const song_entry& e) {
                return sort_keys{lower(e.title), lower(e.artist), lower(e.album), e.added_at, e.last_played_at, e.best};
            };
            return rule_of(r.sort).before(keys(a), keys(b));
        });
        EXPECT_EQ(titles(songs), r.expected) << rule_of(r.sort).name;
        EXPECT_EQ(parse_sort_order(rule_of(r.sort).name), r.sort);
    }
    const std::vector<song_entry> best = list_songs(db, {sort_order::best, "standard", "hard"});
    ASSERT_TRUE(best[1].best.has_value());
    EXPECT_EQ(best[1].best->hits, 5);
    EXPECT_EQ(best[1].last_played_at, 50);
    EXPECT_FALSE(best[5].best.has_value());
    EXPECT_EQ(list_songs(db, {sort_order::best, "zetaflux", "hard"})[0].title, "Café del Mar");
    EXPECT_EQ(parse_sort_order("played"), sort_order::played);
    EXPECT_FALSE(parse_sort_order("Title").has_value());
}
