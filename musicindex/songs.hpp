#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;

// The player's songs as lists show them: found files (not missing, and
// playable) with their tags, when each was played last and its best run.
// They read the song library's songs and results tables beside the music
// tables.
namespace musicindex {

enum class sort_order { title, artist, album, added, played, best };

// "title", "artist", "album", "added", "played" or "best".
std::optional<sort_order> parse_sort_order(std::string_view name);

struct best_run {
    double ratio = 0;
    std::int64_t hits = 0;
};

struct song_entry {
    std::int64_t file_id = 0;  // the file's row, as matching_files names it
    std::string path;
    std::string title;
    std::string artist;
    std::string album;
    std::int64_t track = 0;
    std::int64_t year = 0;
    double duration = 0;  // seconds; 0 when unknown
    bool cover = false;
    std::string song_hash;  // empty when never hashed
    std::int64_t added_at = 0;        // when first scanned
    std::int64_t last_played_at = 0;  // 0 when never
    std::optional<best_run> best;     // in the list's edition and difficulty
};

// What a song is sorted by in C++, for rows not read through SQL (the
// song library's own list of prepared and played songs).
struct sort_keys {
    std::string title;          // lower case (ASCII)
    std::string artist, album;  // lower case (ASCII); "" when none
    std::int64_t added_at = 0;
    std::int64_t last_played_at = 0;  // 0 when never
    std::optional<best_run> best;
};

// Every sort order once: its name, its SQL order over files f, songs s and
// the best run b, and the same order in C++ (`before`: a goes first; ties
// fall to the title, then stay in place). Lists, searches and the library
// screen order through it.
struct sort_rule {
    sort_order order;
    const char* name;
    const char* sql;  // ORDER BY terms
    bool (*before)(const sort_keys& a, const sort_keys& b);
};
const sort_rule& rule_of(sort_order order);

struct song_query {
    sort_order sort = sort_order::title;
    std::string edition = "standard";
    std::string difficulty = "hard";
};

// Every song, in the query's order: by title, by artist (then album, track),
// by album (then track), newest added first, last played first, or best
// run first (highest ratio, then fewest hits); never-played and songs
// without a run last, then by title.
std::vector<song_entry> list_songs(sqlite3* db, const song_query& query);

// A song's best run in one edition and difficulty, on the stage it plays.
struct stage_best {
    std::string edition, difficulty;
    double ratio = 0;
    std::int64_t hits = 0, score = 0;
    bool own_stage = true;  // that stage is the song's own, not a board's of another file
};

// One file as a song panel shows it: its entry (without a best) and its best
// run in every edition and difficulty it was played in, by edition, then
// difficulty. Nothing when the music tables do not hold the file.
struct song_details {
    song_entry entry;
    std::vector<stage_best> bests;
};
std::optional<song_details> details_of(sqlite3* db, const std::string& path);

// What typed text searches for. Words match words of the title, artist,
// album or file name that begin with them, in any order, any case and
// accents; a word in a script written without spaces matches anywhere
// inside those (by trigrams from three characters, directly below), and so
// does a word of punctuation alone. Everything typed is text: quotes,
// operators and column names included.
struct search_terms {
    std::string words;                    // a full-text query of quoted prefixes; empty when none
    std::string long_parts;               // a trigram query of quoted parts; empty when none
    std::vector<std::string> short_parts; // parts of one or two characters
};
search_terms parse_search(std::string_view typed);

// The songs every word of `typed` matches (all songs when it has none).
std::vector<song_entry> search_songs(sqlite3* db, std::string_view typed, const song_query& query);

// The file rows whose words match `typed` as search_songs matches them, in
// no order, missing and unplayable files among them: what a list holding
// every listed song's row needs to filter it as each letter is typed,
// without reading and sorting the rows again.
std::vector<std::int64_t> matching_files(sqlite3* db, std::string_view typed);

}  // namespace musicindex
