#include "libraryscreen/index_source.hpp"

#include <sqlite3.h>

#include <unordered_set>
#include <utility>

#include "musicindex/store.hpp"
#include "sqlite/sql.hpp"

namespace libraryscreen {
namespace {

musicindex::sort_order index_order(songlist::sort_order o) {
    switch (o) {
    case songlist::sort_order::title: return musicindex::sort_order::title;
    case songlist::sort_order::artist: return musicindex::sort_order::artist;
    case songlist::sort_order::album: return musicindex::sort_order::album;
    case songlist::sort_order::added: return musicindex::sort_order::added;
    case songlist::sort_order::played: return musicindex::sort_order::played;
    case songlist::sort_order::best: return musicindex::sort_order::best;
    }
    return musicindex::sort_order::title;
}

std::string file_name(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::size_t dot = name.find_last_of('.');
    if (dot != std::string::npos && dot > 0) name.resize(dot);
    return name;
}

}  // namespace

songlist::song_row row_of(musicindex::song_entry&& e, songlist::song_id id) {
    songlist::song_row r;
    r.id = id;
    r.title = e.title.empty() ? file_name(e.path) : std::move(e.title);
    r.artist = std::move(e.artist);
    r.seconds = e.duration;
    if (e.best) r.best = songlist::best_run{static_cast<float>(e.best->ratio), static_cast<std::uint32_t>(e.best->hits)};
    r.played = e.last_played_at != 0 || e.best.has_value();
    r.path = std::move(e.path);
    return r;
}

index_source::index_source(sqlite3* db, std::string edition, std::string difficulty) : db_(db) {
    query_.edition = std::move(edition);
    query_.difficulty = std::move(difficulty);
}

std::size_t index_source::count() {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!db_) return 0;
    try {
        // Counted once per version of the library.
        const auto now = version();
        if (counted_ && counted_->first == now) return counted_->second;
        sql::statement st(db_, "SELECT count(*) FROM files WHERE missing = 0 AND playable = 1",
                                      "cannot count the songs");
        const std::size_t n = st.step() ? static_cast<std::size_t>(st.integer(0)) : 0;
        counted_.emplace(now, n);
        return n;
    } catch (const musicindex::index_error& e) {
        error_ = e.what();
        return 0;
    }
}

bool index_source::row(songlist::song_id id, songlist::song_row& out) {
    std::lock_guard<std::mutex> hold(mutex_);
    const auto it = rows_.find(id);
    if (it == rows_.end()) return false;
    out = it->second;
    return true;
}

songlist::song_id index_source::id_for(const std::string& path) {
    std::lock_guard<std::mutex> hold(mutex_);
    return id_of(path);
}

songlist::song_id index_source::id_of(const std::string& path) {
    const auto [it, added] = ids_.emplace(path, static_cast<songlist::song_id>(paths_.size() + 1));
    if (added) paths_.push_back(path);
    return it->second;
}

std::pair<std::int64_t, std::int64_t> index_source::version() {
    // data_version moves with every commit of another connection (the
    // game's session keeping, a scan in another process), total_changes
    // with this one's own (the screen's scan writes through it).
    sql::statement st(db_, "PRAGMA data_version;", "cannot read the song library's version");
    const std::int64_t others = st.step() ? st.integer(0) : 0;
    return {others, static_cast<std::int64_t>(sqlite3_total_changes64(db_))};
}

const index_source::listing& index_source::listed(songlist::sort_order order) {
    listing& l = listings_[static_cast<int>(order)];
    const auto now = version();
    if (l.loaded && l.version == now) return l;
    musicindex::song_query q = query_;
    q.sort = index_order(order);
    std::vector<musicindex::song_entry> found = musicindex::list_songs(db_, q);
    l.songs.clear();
    l.songs.reserve(found.size());
    // Moved, not copied: the listing holds every song's row.
    for (musicindex::song_entry& e : found) {
        const songlist::song_id id = id_of(e.path);
        const std::int64_t file = e.file_id;
        rows_[id] = row_of(std::move(e), id);
        l.songs.emplace_back(file, id);
    }
    l.version = now;
    l.loaded = true;
    return l;
}

std::vector<songlist::song_id> index_source::search(const std::string& typed, songlist::sort_order order) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!db_) {
        // The library could not be opened; the screen has said why.
        error_ = "the song library is not open";
        return {};
    }
    std::vector<songlist::song_id> ids;
    try {
        // Every song's row in this order is read once per change of the
        // library; a typed letter only asks which files match and keeps
        // those of the listing, in its order, so it costs a word-index
        // look-up rather than reading and sorting thousands of rows.
        const listing& l = listed(order);
        if (typed.empty()) {
            ids.reserve(l.songs.size());
            for (const auto& [file, id] : l.songs) ids.push_back(id);
        } else {
            const std::unordered_set<std::int64_t>& found = matching(typed, l.version);
            for (const auto& [file, id] : l.songs)
                if (found.count(file)) ids.push_back(id);
        }
        error_.clear();
    } catch (const musicindex::index_error& e) {
        error_ = e.what();
        ids.clear();
    }
    return ids;
}

const std::unordered_set<std::int64_t>& index_source::matching(const std::string& typed,
                                                               std::pair<std::int64_t, std::int64_t> now) {
    auto it = matches_.find(typed);
    if (it == matches_.end() || it->second.version != now) {
        if (it == matches_.end() && matches_.size() >= kept_matches) {
            // The one used longest ago makes room.
            auto oldest = matches_.begin();
            for (auto m = matches_.begin(); m != matches_.end(); ++m)
                if (m->second.used < oldest->second.used) oldest = m;
            matches_.erase(oldest);
        }
        const std::vector<std::int64_t> found = musicindex::matching_files(db_, typed);
        matches& m = matches_[typed];
        m.version = now;
        m.files = std::unordered_set<std::int64_t>(found.begin(), found.end());
        it = matches_.find(typed);
    }
    it->second.used = ++uses_;
    return it->second.files;
}

void index_source::set_query(const std::string& edition, const std::string& difficulty) {
    std::lock_guard<std::mutex> hold(mutex_);
    query_.edition = edition;
    query_.difficulty = difficulty;
    listings_.clear();
}

std::string index_source::path(songlist::song_id id) {
    std::lock_guard<std::mutex> hold(mutex_);
    return id >= 1 && static_cast<std::size_t>(id) <= paths_.size() ? paths_[static_cast<std::size_t>(id - 1)]
                                                                      : std::string();
}

std::string index_source::error() {
    std::lock_guard<std::mutex> hold(mutex_);
    return error_;
}

}  // namespace libraryscreen
