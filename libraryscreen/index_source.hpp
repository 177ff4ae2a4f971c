#pragma once
#include <mutex>
#include <string>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "musicindex/songs.hpp"
#include "songlist/source.hpp"

struct sqlite3;

namespace libraryscreen {

// The song library's found songs as the list's rows: musicindex's listing
// and search (its word rules, its sorts, the best in one edition and
// difficulty). A song keeps its id for as long as the source lives, so the
// list stays on it when a search or a stored run reorders the rows. Rows are
// those of the last search; a song gone since reads as missing. Safe to call
// from the list's worker and the screen's thread.
class index_source : public songlist::song_source {
public:
    // The connection is the caller's and must outlive the source.
    index_source(sqlite3* db, std::string edition, std::string difficulty = "hard");

    std::size_t count() override;
    bool row(songlist::song_id id, songlist::song_row& out) override;
    std::vector<songlist::song_id> search(const std::string& typed, songlist::sort_order order) override;

    // The edition and difficulty whose bests the rows show, from the next search on.
    void set_query(const std::string& edition, const std::string& difficulty);
    // The song's file, "" when the source never gave that id.
    std::string path(songlist::song_id id);
    // The id the source gives the song's file, for the list to highlight it.
    songlist::song_id id_for(const std::string& path);
    // Why the last search failed (the rows are then empty), or "".
    std::string error();

private:
    // Every song in one order, as of one version of the library.
    struct listing {
        bool loaded = false;
        std::pair<std::int64_t, std::int64_t> version;
        std::vector<std::pair<std::int64_t, songlist::song_id>> songs;  // file row, id
    };
    songlist::song_id id_of(const std::string& path);
    std::pair<std::int64_t, std::int64_t> version();
    const listing& listed(songlist::sort_order order);

    // Files matching what was typed, for one version of the library: a
    // letter typed again (after Backspace, or in another sort) is answered
    // without asking the word indexes again.
    struct matches {
        std::pair<std::int64_t, std::int64_t> version;
        std::unordered_set<std::int64_t> files;
        std::uint64_t used = 0;
    };
    static constexpr std::size_t kept_matches = 64;
    const std::unordered_set<std::int64_t>& matching(const std::string& typed,
                                                     std::pair<std::int64_t, std::int64_t> version);

    sqlite3* db_;
    std::mutex mutex_;
    std::unordered_map<std::string, matches> matches_;
    std::uint64_t uses_ = 0;
    std::optional<std::pair<std::pair<std::int64_t, std::int64_t>, std::size_t>> counted_;  // version, count
    musicindex::song_query query_;
    std::unordered_map<std::string, songlist::song_id> ids_;
    std::vector<std::string> paths_;  // by id - 1
    std::unordered_map<songlist::song_id, songlist::song_row> rows_;
    std::unordered_map<int, listing> listings_;  // by sort order
    std::string error_;
};

// What the list shows of an entry: its tags, or the file's name for a song
// without a title.
songlist::song_row row_of(musicindex::song_entry&& e, songlist::song_id id);

}  // namespace libraryscreen
