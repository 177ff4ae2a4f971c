#include "musicindex/songs.hpp"

#include <cstdio>

#include "musicfiles/text.hpp"
#include "results/result_row.hpp"
#include "sqlite/sql.hpp"

namespace musicindex {

namespace {

// Songs without the text go last; then the text, then the title.
bool text_before(const std::string& a, const std::string& b, const sort_keys& ka, const sort_keys& kb) {
    if (a != b) return b.empty() || (!a.empty() && a < b);
    return ka.title < kb.title;
}

// In sort_order's order.
const sort_rule sort_rules[] = {
    {sort_order::title, "title", "f.title COLLATE NOCASE, f.artist COLLATE NOCASE, f.path",
     [](const sort_keys& a, const sort_keys& b) { return a.title < b.title; }},
    {sort_order::artist, "artist",
     "f.artist = '', f.artist COLLATE NOCASE, f.album COLLATE NOCASE, f.track, f.title COLLATE NOCASE, f.path",
     [](const sort_keys& a, const sort_keys& b) { return text_before(a.artist, b.artist, a, b); }},
    {sort_order::album, "album", "f.album = '', f.album COLLATE NOCASE, f.track, f.title COLLATE NOCASE, f.path",
     [](const sort_keys& a, const sort_keys& b) { return text_before(a.album, b.album, a, b); }},
    {sort_order::added, "added", "f.added_at DESC, f.title COLLATE NOCASE, f.path",
     [](const sort_keys& a, const sort_keys& b) {
         return a.added_at != b.added_at ? a.added_at > b.added_at : a.title < b.title;
     }},
    {sort_order::played, "played",
     "COALESCE(s.last_played_at, 0) = 0, s.last_played_at DESC, f.title COLLATE NOCASE, f.path",
     [](const sort_keys& a, const sort_keys& b) {
         return a.last_played_at != b.last_played_at ? a.last_played_at > b.last_played_at : a.title < b.title;
     }},
    // The best-run order of results::best_order_sql, songs without a run last.
    {sort_order::best, "best", "b.ratio IS NULL, b.ratio DESC, b.hits ASC, f.title COLLATE NOCASE, f.path",
     [](const sort_keys& a, const sort_keys& b) {
         if (a.best.has_value() != b.best.has_value()) return a.best.has_value();
         if (a.best && (a.best->ratio != b.best->ratio || a.best->hits != b.best->hits))
             return a.best->ratio != b.best->ratio ? a.best->ratio > b.best->ratio : a.best->hits < b.best->hits;
         return a.title < b.title;
     }},
};

}  // namespace

const sort_rule& rule_of(sort_order order) { return sort_rules[static_cast<std::size_t>(order)]; }

std::optional<sort_order> parse_sort_order(std::string_view name) {
    for (const sort_rule& r : sort_rules)
        if (name == r.name) return r.order;
    return std::nullopt;
}

namespace {

bool is_symbol(std::uint32_t cp) {
    return (cp >= 0xa1 && cp <= 0xbf) || cp == 0xd7 || cp == 0xf7 || (cp >= 0x2000 && cp <= 0x2bff) ||
           (cp >= 0xfe30 && cp <= 0xfe4f) || (cp >= 0xff01 && cp <= 0xff0f) || cp >= 0x1f000;
}

bool is_ascii_word_character(std::uint32_t cp) {
    return (cp >= '0' && cp <= '9') || (cp >= 'a' && cp <= 'z') || (cp >= 'A' && cp <= 'Z');
}

// An FTS5 string: inside double quotes nothing is syntax; a quote is doubled.
std::string quoted(std::string_view text) {
    std::string q = "\"";
    for (char c : text) {
        if (c == '"') q += '"';
        q += c;
    }
    return q + "\"";
}

// Words are split at spaces, the ideographic space and no-break spaces too.
std::vector<std::string> split_words(const std::string& text) {
    std::vector<std::string> words;
    std::string word;
    std::size_t at = 0;
    musicfiles::for_each_code_point(text, [&](std::uint32_t cp) {
        const std::size_t length = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
        const bool space = cp == ' ' || cp == 0xa0 || cp == 0x3000 || cp == 0x2007 || cp == 0x202f;
        if (space) {
            if (!word.empty()) words.push_back(std::move(word));
            word.clear();
        } else {
            word.append(text, at, length);
        }
        at += length;
    });
    if (!word.empty()) words.push_back(std::move(word));
    return words;
}

constexpr const char* song_columns =
    "SELECT f.id, f.path, f.title, f.artist, f.album, f.track, f.year, f.duration, f.cover, f.song_hash, f.added_at,"
    " COALESCE(s.last_played_at, 0), b.ratio, b.hits";

// The best run of each song in the edition and difficulty on the stage it
// plays (better_result's order: ratio, fewer hits, earlier), looked up song
// by song through the results' index on song_hash, so a search of a few
// songs reads only their runs.
const std::string song_tables =
    std::string(" FROM files f LEFT JOIN songs s ON s.hash = f.song_hash"
                " LEFT JOIN results b ON b.rowid = (SELECT r.rowid FROM results r WHERE r.song_hash = f.song_hash"
                "   AND r.edition = ?1 AND r.difficulty = ?2"
                "   AND r.stage_hash IS ") + results::playing_stage_sql("f.song_hash", "?1", "?2") + " ORDER BY " +
    results::best_order_sql + ", r.rowid ASC LIMIT 1) WHERE f.missing = 0 AND f.playable = 1";

std::string order_by(sort_order sort) { return std::string(" ORDER BY ") + rule_of(sort).sql; }

std::vector<song_entry> read_songs(sql::statement& st) {
    std::vector<song_entry> songs;
    while (st.step()) {
        song_entry e;
        e.file_id = st.integer(0);
        e.path = st.text(1);
        e.title = st.text(2);
        e.artist = st.text(3);
        e.album = st.text(4);
        e.track = st.integer(5);
        e.year = st.integer(6);
        e.duration = st.real(7);
        e.cover = st.integer(8) != 0;
        e.song_hash = st.text(9);
        e.added_at = st.integer(10);
        e.last_played_at = st.integer(11);
        if (!st.null(12)) e.best = best_run{st.real(12), st.integer(13)};
        songs.push_back(std::move(e));
    }
    return songs;
}

}  // namespace

search_terms parse_search(std::string_view typed) {
    search_terms terms;
    // Tabs and line breaks part words too, before cleaning makes them '?'.
    std::string spaced(typed);
    for (char& c : spaced)
        if (c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f') c = ' ';
    for (const std::string& word : split_words(musicfiles::clean_text(spaced))) {
        bool spaceless = false, indexed = false;
        std::size_t characters = 0;
        musicfiles::for_each_code_point(word, [&](std::uint32_t cp) {
            ++characters;
            if (musicfiles::is_spaceless_script(cp) || is_symbol(cp)) spaceless = true;
            if (is_ascii_word_character(cp) || cp >= 0x80) indexed = true;
        });
        if (indexed && !spaceless) {
            // Punctuation inside a word splits it into a phrase, as in the
            // index ("AC/DC", "rock'n'roll"); the last part is a prefix.
            terms.words += (terms.words.empty() ? "" : " ") + quoted(word) + "*";
        } else if (characters >= 3) {
            // Also punctuation alone, which no word index holds.
            terms.long_parts += (terms.long_parts.empty() ? "" : " ") + quoted(word);
        } else {
            terms.short_parts.push_back(word);
        }
    }
    return terms;
}

std::optional<song_details> details_of(sqlite3* db, const std::string& path) {
    sql::statement st(db,
                      "SELECT f.id, f.path, f.title, f.artist, f.album, f.track, f.year, f.duration, f.cover,"
                      " f.song_hash, f.added_at, COALESCE(s.last_played_at, 0), NULL, NULL"
                      " FROM files f LEFT JOIN songs s ON s.hash = f.song_hash WHERE f.path = ?1;",
                      "cannot read a song's tags");
    st.bind(1, path);
    std::vector<song_entry> found = read_songs(st);
    if (found.empty()) return std::nullopt;
    song_details d;
    d.entry = std::move(found.front());
    if (d.entry.song_hash.empty()) return d;
    // better_result's order in each edition and difficulty, on the stage it plays.
    sql::statement bests(db,
                         std::string("SELECT r.edition, r.difficulty, r.ratio, r.hits, r.score,"
                                     " r.stage_hash IS (SELECT own.stage_hash FROM stages own"
                                     "   WHERE own.song_hash = r.song_hash AND own.edition = r.edition"
                                     "   AND own.difficulty = r.difficulty) FROM results r"
                                     " WHERE r.song_hash = ?1 AND r.rowid = (SELECT rowid FROM results"
                                     "   WHERE song_hash = r.song_hash AND edition = r.edition"
                                     "   AND difficulty = r.difficulty AND stage_hash IS ") +
                             results::playing_stage_sql("r.song_hash", "r.edition", "r.difficulty") + " ORDER BY " +
                             results::best_order_sql + ", rowid ASC LIMIT 1) ORDER BY r.edition, r.difficulty;",
                         "cannot read a song's bests");
    bests.bind(1, d.entry.song_hash);
    while (bests.step())
        d.bests.push_back(
            {bests.text(0), bests.text(1), bests.real(2), bests.integer(3), bests.integer(4), bests.integer(5) != 0});
    return d;
}

std::vector<song_entry> list_songs(sqlite3* db, const song_query& query) {
    sql::statement st(db, std::string(song_columns) + song_tables + order_by(query.sort) + ";",
                      "cannot list the songs");
    st.bind(1, query.edition).bind(2, query.difficulty);
    return read_songs(st);
}

namespace {

// The short parts as one JSON array of strings, so any number of them is one
// parameter and one condition: a condition per part nests an expression per
// part, and SQLite refuses a tree a thousand deep.
std::string json_strings(const std::vector<std::string>& parts) {
    std::string json = "[";
    for (const std::string& p : parts) {
        json += json.size() > 1 ? ",\"" : "\"";
        for (const char c : p) {
            if (c == '"' || c == '\\') {
                json += '\\';
                json += c;
            } else if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
                json += escaped;
            } else {
                json += c;
            }
        }
        json += '"';
    }
    return json + "]";
}

// The conditions a search adds to a query over files f, with their
// parameters numbered from `next`; bind_search binds them in that order.
std::string search_conditions(const search_terms& terms, int next) {
    std::string text;
    if (!terms.words.empty())
        text += " AND f.id IN (SELECT rowid FROM files_words WHERE files_words MATCH ?" + std::to_string(next++) + ")";
    if (!terms.long_parts.empty())
        text += " AND f.id IN (SELECT rowid FROM files_text WHERE files_text MATCH ?" + std::to_string(next++) + ")";
    // Every short part is in the title, the artist, the album or the name.
    if (!terms.short_parts.empty())
        text += " AND NOT EXISTS (SELECT 1 FROM json_each(?" + std::to_string(next++) +
                ") p WHERE (instr(f.title, p.value) OR instr(f.artist, p.value) OR instr(f.album, p.value) OR"
                " instr(f.name, p.value)) IS NOT 1)";
    return text;
}

void bind_search(sql::statement& st, const search_terms& terms, int next) {
    if (!terms.words.empty()) st.bind(next++, terms.words);
    if (!terms.long_parts.empty()) st.bind(next++, terms.long_parts);
    if (!terms.short_parts.empty()) st.bind(next++, json_strings(terms.short_parts));
}

}  // namespace

std::vector<song_entry> search_songs(sqlite3* db, std::string_view typed, const song_query& query) {
    const search_terms terms = parse_search(typed);
    sql::statement st(db, std::string(song_columns) + song_tables + search_conditions(terms, 3) + order_by(query.sort) + ";",
                      "cannot search the songs");
    st.bind(1, query.edition).bind(2, query.difficulty);
    bind_search(st, terms, 3);
    return read_songs(st);
}

std::vector<std::int64_t> matching_files(sqlite3* db, std::string_view typed) {
    const search_terms terms = parse_search(typed);
    std::string text;
    if (terms.short_parts.empty() && !(terms.words.empty() && terms.long_parts.empty())) {
        // The word indexes alone, without reading the files' rows: that
        // read costs as much again as the look-up itself.
        if (!terms.words.empty()) text = "SELECT rowid FROM files_words WHERE files_words MATCH ?1";
        if (!terms.long_parts.empty())
            text += std::string(text.empty() ? "" : " INTERSECT ") + "SELECT rowid FROM files_text WHERE files_text MATCH ?" +
                    (terms.words.empty() ? "1" : "2");
    } else {
        text = "SELECT f.id FROM files f WHERE 1" + search_conditions(terms, 1);
    }
    sql::statement st(db, text + ";", "cannot search the songs");
    bind_search(st, terms, 1);
    std::vector<std::int64_t> ids;
    while (st.step()) ids.push_back(st.integer(0));
    return ids;
}

}  // namespace musicindex
