#include "musicindex/store.hpp"

#include <algorithm>

#include "musicfiles/text.hpp"
#include "vaz/files.hpp"

namespace musicindex {

void add_tables(sqlite3* db) {
    sql::exec(db,
              "CREATE TABLE folders ("
              "  path TEXT PRIMARY KEY NOT NULL,"
              "  added_at INTEGER NOT NULL,"
              "  scanned_at INTEGER NOT NULL DEFAULT 0,"
              "  device INTEGER NOT NULL DEFAULT 0"
              ");"
              // path is the file's bytes as the system gives them (not
              // always UTF-8); name, title, artist and album are cleaned
              // text. A missing file keeps its row, and so its song hash,
              // until it is found again or its folder is forgotten.
              "CREATE TABLE files ("
              "  id INTEGER PRIMARY KEY,"
              "  path TEXT NOT NULL UNIQUE,"
              "  name TEXT NOT NULL,"
              "  size INTEGER NOT NULL,"
              "  mtime_ns INTEGER NOT NULL,"
              "  song_hash TEXT,"
              "  missing INTEGER NOT NULL DEFAULT 0,"
              "  playable INTEGER NOT NULL DEFAULT 1,"
              "  title TEXT NOT NULL,"
              "  artist TEXT NOT NULL DEFAULT '',"
              "  album TEXT NOT NULL DEFAULT '',"
              "  track INTEGER NOT NULL DEFAULT 0,"
              "  year INTEGER NOT NULL DEFAULT 0,"
              "  duration REAL NOT NULL DEFAULT 0,"
              "  cover INTEGER NOT NULL DEFAULT 0,"
              "  problem TEXT,"
              "  added_alone INTEGER NOT NULL DEFAULT 0,"
              "  added_at INTEGER NOT NULL,"
              "  scanned_at INTEGER NOT NULL"
              ");"
              "CREATE INDEX files_by_song ON files (song_hash);"
              // Words in any order, any case and accents, a prefix typed:
              "CREATE VIRTUAL TABLE files_words USING fts5(title, artist, album, name, content='files',"
              "  content_rowid='id', tokenize='unicode61 remove_diacritics 2');"
              // and parts of words in scripts written without spaces.
              "CREATE VIRTUAL TABLE files_text USING fts5(title, artist, album, name, content='files',"
              "  content_rowid='id', tokenize='trigram');"
              "CREATE TRIGGER files_indexed AFTER INSERT ON files BEGIN"
              "  INSERT INTO files_words (rowid, title, artist, album, name)"
              "    VALUES (new.id, new.title, new.artist, new.album, new.name);"
              "  INSERT INTO files_text (rowid, title, artist, album, name)"
              "    VALUES (new.id, new.title, new.artist, new.album, new.name);"
              "END;"
              "CREATE TRIGGER files_unindexed AFTER DELETE ON files BEGIN"
              "  INSERT INTO files_words (files_words, rowid, title, artist, album, name)"
              "    VALUES ('delete', old.id, old.title, old.artist, old.album, old.name);"
              "  INSERT INTO files_text (files_text, rowid, title, artist, album, name)"
              "    VALUES ('delete', old.id, old.title, old.artist, old.album, old.name);"
              "END;"
              "CREATE TRIGGER files_reindexed AFTER UPDATE OF title, artist, album, name ON files BEGIN"
              "  INSERT INTO files_words (files_words, rowid, title, artist, album, name)"
              "    VALUES ('delete', old.id, old.title, old.artist, old.album, old.name);"
              "  INSERT INTO files_text (files_text, rowid, title, artist, album, name)"
              "    VALUES ('delete', old.id, old.title, old.artist, old.album, old.name);"
              "  INSERT INTO files_words (rowid, title, artist, album, name)"
              "    VALUES (new.id, new.title, new.artist, new.album, new.name);"
              "  INSERT INTO files_text (rowid, title, artist, album, name)"
              "    VALUES (new.id, new.title, new.artist, new.album, new.name);"
              "END;",
              "cannot add the music tables");
}

bool add_folder(sqlite3* db, const std::string& path, std::int64_t now) {
    sql::statement st(db, "INSERT INTO folders (path, added_at) VALUES (?1, ?2) ON CONFLICT (path) DO NOTHING;",
                      "cannot remember a folder");
    st.bind(1, path).bind(2, now).run();
    return sqlite3_changes(db) > 0;
}

namespace {

// Paths inside `folder` sort between folder + "/" and folder + "0", the
// character after '/', so the path index finds them without a scan.
void bind_inside(sql::statement& st, int first, const std::string& folder) {
    if (folder == "/") {
        st.bind(first, std::string_view("/")).bind(first + 1, std::string_view("0"));
        return;
    }
    st.bind(first, folder + "/").bind(first + 1, folder + "0");
}

}  // namespace

std::vector<folder_row> folders(sqlite3* db) {
    std::vector<folder_row> rows;
    {
        sql::statement st(db, "SELECT path, added_at, scanned_at, device FROM folders ORDER BY path;",
                          "cannot list the folders");
        while (st.step()) {
            folder_row r;
            r.path = st.text(0);
            r.added_at = st.integer(1);
            r.scanned_at = st.integer(2);
            r.device = static_cast<std::uint64_t>(st.integer(3));
            rows.push_back(std::move(r));
        }
    }
    sql::statement count(db, "SELECT count(*), total(missing) FROM files WHERE path >= ?1 AND path < ?2;",
                         "cannot count a folder's files");
    for (folder_row& r : rows) {
        bind_inside(count, 1, r.path);
        count.step();
        r.files = count.integer(0);
        r.missing = static_cast<std::int64_t>(count.real(1));
        count.run();
    }
    return rows;
}

bool forget_folder(sqlite3* db, const std::string& path) {
    sql::transaction t(db);
    sql::statement drop(db, "DELETE FROM folders WHERE path = ?1;", "cannot forget a folder");
    drop.bind(1, path).run();
    if (sqlite3_changes(db) == 0) return false;
    std::vector<std::string> others;
    {
        sql::statement st(db, "SELECT path FROM folders;", "cannot forget a folder");
        while (st.step()) others.push_back(st.text(0));
    }
    std::vector<std::int64_t> doomed;
    {
        sql::statement st(db, "SELECT id, path FROM files WHERE path >= ?1 AND path < ?2 AND added_alone = 0;",
                          "cannot forget a folder");
        bind_inside(st, 1, path);
        while (st.step()) {
            const std::string file = st.text(1);
            const bool held = std::any_of(others.begin(), others.end(),
                                          [&](const std::string& o) { return musicfiles::is_under(file, o); });
            if (!held) doomed.push_back(st.integer(0));
        }
    }
    sql::statement del(db, "DELETE FROM files WHERE id = ?1;", "cannot forget a folder");
    for (std::int64_t id : doomed) del.bind(1, id).run();
    t.commit();
    return true;
}

std::vector<musicfiles::known_file> known_files(sqlite3* db) {
    std::vector<musicfiles::known_file> known;
    // A file that could not be read is read again at every scan: it may be
    // readable now with its size and time unchanged (its rights changed, a
    // disk came back, a decoder was installed).
    sql::statement st(db,
                      "SELECT path, size, CASE WHEN playable THEN mtime_ns ELSE -1 END, song_hash, missing FROM files"
                      " ORDER BY path;",
                      "cannot list the files");
    while (st.step()) {
        musicfiles::known_file k;
        k.path = st.text(0);
        k.size = st.integer(1);
        k.mtime_ns = st.integer(2);
        k.song_hash = st.text(3);
        k.missing = st.integer(4) != 0;
        known.push_back(std::move(k));
    }
    return known;
}

void write_updates(sqlite3* db, const std::vector<musicfiles::file_update>& batch, std::int64_t now,
                   const std::unordered_set<std::string>& added_alone) {
    using musicfiles::file_change;
    sql::transaction t(db);
    sql::statement add(db,
                       "INSERT INTO files (path, name, size, mtime_ns, song_hash, playable, title, artist, album,"
                       " track, year, duration, cover, problem, added_alone, added_at, scanned_at)"
                       " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?16)"
                       " ON CONFLICT (path) DO UPDATE SET size = excluded.size, mtime_ns = excluded.mtime_ns,"
                       " song_hash = excluded.song_hash, missing = 0, playable = excluded.playable,"
                       " title = excluded.title, artist = excluded.artist, album = excluded.album,"
                       " track = excluded.track, year = excluded.year, duration = excluded.duration,"
                       " cover = excluded.cover, problem = excluded.problem,"
                       " added_alone = max(added_alone, excluded.added_alone), scanned_at = excluded.scanned_at;",
                       "cannot record a file");
    sql::statement moved(db,
                         "UPDATE files SET path = ?1, name = ?2, size = ?3, mtime_ns = ?4, missing = 0,"
                         " scanned_at = ?5, added_alone = ?7 WHERE path = ?6;",
                         "cannot record a moved file");
    sql::statement back(db, "UPDATE files SET missing = 0, scanned_at = ?2 WHERE path = ?1;",
                        "cannot record a file found again");
    sql::statement gone(db, "UPDATE files SET missing = 1 WHERE path = ?1;", "cannot record a missing file");
    for (const musicfiles::file_update& u : batch) {
        switch (u.change) {
            case file_change::added:
            case file_change::changed:
                add.bind(1, u.path)
                    .bind(2, musicfiles::title_from_file_name(u.path))
                    .bind(3, u.size)
                    .bind(4, u.mtime_ns)
                    .bind_or_null(5, u.song_hash)
                    .bind(6, std::int64_t{u.playable})
                    .bind(7, u.tags.title)
                    .bind(8, u.tags.artist)
                    .bind(9, u.tags.album)
                    .bind(10, std::int64_t{u.tags.track})
                    .bind(11, std::int64_t{u.tags.year})
                    .bind(12, u.tags.duration)
                    .bind(13, std::int64_t{u.tags.cover})
                    .bind_or_null(14, u.problem)
                    .bind(15, std::int64_t{added_alone.count(u.path) != 0})
                    .bind(16, now)
                    .run();
                break;
            case file_change::moved:
                moved.bind(1, u.path)
                    .bind(2, musicfiles::title_from_file_name(u.path))
                    .bind(3, u.size)
                    .bind(4, u.mtime_ns)
                    .bind(5, now)
                    .bind(6, u.old_path)
                    // Where it is now decides: a folder's file moved to a
                    // file played by name is rescanned as that.
                    .bind(7, std::int64_t{added_alone.count(u.path) != 0})
                    .run();
                break;
            case file_change::found_again: back.bind(1, u.path).bind(2, now).run(); break;
            case file_change::gone: gone.bind(1, u.path).run(); break;
        }
    }
    t.commit();
}

void set_song_hash(sqlite3* db, const std::string& path, const std::string& song_hash) {
    sql::statement st(db, "UPDATE files SET song_hash = ?2 WHERE path = ?1;", "cannot record a song hash");
    st.bind(1, path).bind(2, song_hash).run();
}

namespace {

class index_sink : public musicfiles::scan_sink {
public:
    index_sink(sqlite3* db, std::int64_t now, std::unordered_set<std::string> alone)
        : db_(db), now_(now), alone_(std::move(alone)) {}
    void write(const std::vector<musicfiles::file_update>& batch) override { write_updates(db_, batch, now_, alone_); }

private:
    sqlite3* db_;
    std::int64_t now_;
    std::unordered_set<std::string> alone_;
};

}  // namespace

std::size_t link_known_songs(sqlite3* db, std::int64_t scanned_at) {
    // Candidates: the file at the path a known song was played or prepared
    // from, and a file as long as a known song no file is linked to (its
    // file forgotten, or kept elsewhere before the music tables were).
    sql::statement st(db,
                      "SELECT f.id, f.path, s.hash FROM files f JOIN songs s ON s.path = f.path"
                      " WHERE f.scanned_at = ?1 AND coalesce(f.song_hash, '') = '' AND f.playable AND NOT f.missing"
                      " UNION "
                      "SELECT f.id, f.path, s.hash FROM files f JOIN songs s ON abs(f.duration - s.duration) < 0.5"
                      " WHERE f.scanned_at = ?1 AND coalesce(f.song_hash, '') = '' AND f.playable AND NOT f.missing"
                      " AND NOT EXISTS (SELECT 1 FROM files g WHERE g.song_hash = s.hash)"
                      " ORDER BY 1;",
                      "cannot look for the songs the library knows");
    st.bind(1, scanned_at);
    struct candidate {
        std::int64_t id;
        std::string path;
        std::vector<std::string> hashes;
    };
    std::vector<candidate> candidates;
    while (st.step()) {
        if (candidates.empty() || candidates.back().id != st.integer(0))
            candidates.push_back({st.integer(0), st.text(1), {}});
        candidates.back().hashes.push_back(st.text(2));
    }
    // Only the same bytes make a file that song: each candidate is hashed once.
    std::vector<std::pair<std::int64_t, std::string>> links;
    for (const candidate& c : candidates) {
        vaz::hash_128 h;
        std::string error;
        if (!vaz::hash_file(c.path, h, error)) continue;
        const std::string hex = h.hex();
        if (std::find(c.hashes.begin(), c.hashes.end(), hex) != c.hashes.end()) links.emplace_back(c.id, hex);
    }
    if (!links.empty()) {
        sql::transaction t(db);
        sql::statement set(db, "UPDATE files SET song_hash = ?2 WHERE id = ?1;", "cannot record a song hash");
        for (const auto& [id, hex] : links) set.bind(1, id).bind(2, hex).run();
        t.commit();
    }
    return candidates.size();
}

musicfiles::scan_report scan(sqlite3* db, const std::vector<std::string>& folder_paths,
                             const std::vector<std::string>& files, const musicfiles::scan_options& options,
                             std::int64_t now) {
    musicfiles::scan_request request;
    const std::vector<folder_row> remembered = folders(db);
    const bool everything = folder_paths.empty() && files.empty();
    for (const folder_row& f : remembered)
        if (everything || std::find(folder_paths.begin(), folder_paths.end(), f.path) != folder_paths.end())
            request.folders.push_back({f.path, f.device});
    request.known = known_files(db);
    if (everything) {
        sql::statement st(db, "SELECT path FROM files WHERE added_alone = 1 ORDER BY path;", "cannot list the files");
        while (st.step()) request.files.push_back(st.text(0));
    } else {
        request.files = files;
    }
    index_sink sink(db, now, {request.files.begin(), request.files.end()});
    musicfiles::scan_report report = musicfiles::scan(request, sink, options);
    if (!report.stopped) report.counts.hashed += link_known_songs(db, now);
    sql::statement done(db, "UPDATE folders SET scanned_at = ?2, device = ?3 WHERE path = ?1;",
                        "cannot record a folder's scan");
    for (const musicfiles::folder_outcome& f : report.folders)
        if (f.state == musicfiles::folder_state::scanned && !report.stopped)
            done.bind(1, f.path).bind(2, now).bind(3, static_cast<std::int64_t>(f.device)).run();
    return report;
}

}  // namespace musicindex
