#pragma once
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "musicfiles/tags.hpp"
#include "musicfiles/walk.hpp"

// Scanning the player's music: what is new, changed, moved or missing since
// the library last looked, reading tags only where something changed.
namespace musicfiles {

// A file as the library knows it.
struct known_file {
    std::string path;
    std::int64_t size = 0;
    std::int64_t mtime_ns = 0;
    std::string song_hash;  // hex of its content hash; empty when never hashed
    bool missing = false;
};

// A remembered folder, with the device it was on when it last held files
// (0 when never), which tells a disk that is not mounted from an empty one.
struct known_folder {
    std::string path;
    std::uint64_t device = 0;
};

enum class file_change {
    added,        // a file the library did not know
    changed,      // its size or modification time differs: tags read again
    moved,        // the content of a missing file under a new path: old_path takes the new one
    found_again,  // a missing file is back, as it was
    gone,         // no longer there: kept as missing, with its results
};

// One row for the library to write.
struct file_update {
    file_change change = file_change::added;
    std::string path;
    std::string old_path;  // moved: the path the library has
    std::int64_t size = 0;
    std::int64_t mtime_ns = 0;
    std::string song_hash;  // added, changed, moved: its hash, empty when not computed
    // added and changed: what was read. A file neither TagLib nor the
    // decoder reads is kept too, as unplayable, so a rescan does not open
    // it again while it stays as it is.
    file_tags tags;
    bool playable = true;
    std::string problem;  // why its tags could not be read
};

enum class folder_state {
    scanned,
    not_found,     // the folder is gone: a disk not mounted, or removed; its files are missing
    not_mounted,   // empty, or on another device, where it had files: its files are missing
    unreadable,    // cannot be read: its files are left as they were
    inside_other,  // lies in another folder of the scan, which walked it
};

struct folder_outcome {
    std::string path;
    folder_state state = folder_state::scanned;
    std::uint64_t device = 0;  // where it is now (scanned)
    std::size_t files = 0;     // music files found in it
    std::string detail;        // the system's words for not_found and unreadable
};

struct scan_counts {
    std::size_t seen = 0;       // music files found by the walk
    std::size_t to_read = 0;    // of them, new or changed: to be read
    std::size_t read = 0;       // of those, read so far
    std::size_t added = 0;
    std::size_t changed = 0;
    std::size_t moved = 0;
    std::size_t found_again = 0;
    std::size_t missing = 0;    // newly missing
    std::size_t unchanged = 0;
    std::size_t opened = 0;     // files opened (for tags or the hash); a rescan of unchanged files opens none
    std::size_t hashed = 0;
    std::array<std::size_t, static_cast<std::size_t>(skip_reason::count)> skipped{};
    double seconds = 0;  // since the scan started

    std::size_t skipped_total() const;
};

// Receives the rows in batches; each batch should be one transaction, so a
// stopped scan keeps every batch written before it.
class scan_sink {
public:
    virtual ~scan_sink() = default;
    virtual void write(const std::vector<file_update>& batch) = 0;
};

struct scan_request {
    std::vector<known_folder> folders;  // walked with their subfolders
    std::vector<std::string> files;     // single files (whatever their names), besides the folders
    std::vector<known_file> known;      // every file the library knows, in and outside the folders
};

struct scan_options {
    unsigned threads = 2;  // reading tags and hashing
    std::size_t batch_size = 256;
    walk_limits limits;
    const std::atomic<bool>* stop = nullptr;  // checked between files; what was read is written
    std::function<void(const scan_counts&)> progress;  // called on the scanning thread now and then
};

struct scan_report {
    scan_counts counts;
    std::vector<skipped_entry> skipped;
    std::vector<folder_outcome> folders;  // in the order asked
    std::size_t names_not_utf8 = 0;
    bool stopped = false;
};

// Walks every folder and looks at every single file; a file whose path,
// size and modification time the library has is not opened. New and
// changed files are read on `threads` threads and written in walk order,
// so the rows do not depend on the threads. The content hash is computed
// for a changed file that had one, and for a new file as large as a
// missing hashed file (which, when the bytes are the same, it is, moved).
// Files known under folders the scan covers but not found are written as
// gone; nothing is ever deleted. Throws what the sink throws.
scan_report scan(const scan_request& request, scan_sink& sink, const scan_options& options = {});

}  // namespace musicfiles
