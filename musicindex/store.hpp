#pragma once
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "musicfiles/scan.hpp"
#include "sqlite/sql.hpp"

struct sqlite3;

// The player's music in the song library: the remembered folders, every
// file found in them (or added alone) with its tags and, once known, its
// song hash, and the full-text indexes that search them.
namespace musicindex {

using index_error = sql::error;

// The schema step that adds these tables (and only these: the song
// library's own tables and their indexes are its own steps), for the song
// library's migrations: run it inside their transaction. Every failure
// throws index_error.
void add_tables(sqlite3* db);

struct folder_row {
    std::string path;
    std::int64_t added_at = 0;    // seconds since 1970
    std::int64_t scanned_at = 0;  // 0 when never
    std::uint64_t device = 0;     // where it was when it last held files
    std::int64_t files = 0;       // files known in it, missing ones included
    std::int64_t missing = 0;
};

// Remembers a folder (as musicfiles::normal_path gives it); false when it
// was remembered already.
bool add_folder(sqlite3* db, const std::string& path, std::int64_t now);
// Sorted by path.
std::vector<folder_row> folders(sqlite3* db);
// Forgets a folder: the rows of its files go, except files added alone or
// held by another remembered folder. Results stay: they belong to song
// hashes, and come back with the files. False when it was not remembered.
bool forget_folder(sqlite3* db, const std::string& path);

std::vector<musicfiles::known_file> known_files(sqlite3* db);

// One batch of a scan, in one transaction. Files named in `added_alone`
// (single files, not found in a folder) are marked so, and a rescan of
// everything looks at them again.
void write_updates(sqlite3* db, const std::vector<musicfiles::file_update>& batch, std::int64_t now,
                   const std::unordered_set<std::string>& added_alone = {});

// The song hash of a file, computed when it was prepared or played: what
// links it to its results and, when it moves, to its new path.
void set_song_hash(sqlite3* db, const std::string& path, const std::string& song_hash);

// Links the files a scan wrote at `scanned_at` to the songs the library
// already knows, so their runs and bests come back with them: a file at the
// path a known song was last played or prepared from, or as long as a known
// song no file is linked to, is hashed, and linked when its bytes are that
// song's. Returns how many files were hashed.
std::size_t link_known_songs(sqlite3* db, std::int64_t scanned_at);

// Scans `folder_paths` (remembered ones; all of them when empty and
// `files` is empty too) and `files` (single files, remembered as added
// alone), writing every batch as it goes; the folders' devices and scan
// times are kept for the next scan. A scan not stopped ends by linking the
// files it wrote to the songs the library knows (link_known_songs).
musicfiles::scan_report scan(sqlite3* db, const std::vector<std::string>& folder_paths,
                             const std::vector<std::string>& files, const musicfiles::scan_options& options,
                             std::int64_t now);

}  // namespace musicindex
