#pragma once
#include <sys/types.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Walking the player's music folders: every file named like music, with
// its size and modification time, and every entry that had to be left out,
// with the reason.
namespace musicfiles {

// True for the file name endings of the sound formats the decoder reads
// (.wav, .flac, .ogg, .opus, .mp3, .aiff and their kin), in any letter case.
bool is_music_file_name(std::string_view name);

// An absolute path without "." and ".." parts or a trailing slash, as the
// library keeps folders and files; links are not resolved, so a folder on a
// disk that is not mounted keeps its name.
std::string normal_path(const std::string& path);

// True when `path` is `folder` or lies inside it.
bool is_under(std::string_view path, std::string_view folder);

struct found_file {
    std::string path;
    std::int64_t size = 0;
    std::int64_t mtime_ns = 0;  // nanoseconds since 1970 where the file system keeps them
};

enum class skip_reason : std::size_t {
    unreadable_folder,  // a folder that cannot be opened or read
    link_loop,          // a link to a folder the walk is already in or has walked
    broken_link,
    not_regular_file,   // a pipe, a device or a socket named like music: never opened
    vanished,           // gone between being listed and being looked at or read
    too_deep,           // folders below the depth limit are not walked
    same_file,          // a second name (hard or symbolic link) of a file already found
    unreadable_file,    // looked at but not readable (its tags, or its bytes for the hash)
    count
};

// "a link loop", "a pipe or a device named like music", ...
const char* describe(skip_reason reason);

struct skipped_entry {
    std::string path;
    skip_reason reason = skip_reason::unreadable_folder;
    std::string detail;  // the system's words, when it gave any
};

struct walk_limits {
    std::size_t max_depth = 64;  // folders below the root; deeper ones are skipped and counted
};

// Which folders and files a walk has seen, shared by the walks of one scan
// so that two remembered folders holding each other, or links between
// them, give every file once.
struct walk_visits {
    std::set<std::pair<dev_t, ino_t>> folders;
    std::set<std::pair<dev_t, ino_t>> files;
};

struct walk_result {
    std::vector<found_file> files;  // names sorted within each folder, depth first
    std::vector<skipped_entry> skipped;
    // Folders whose contents are unknown (unreadable, too deep): files the
    // library knows under them are left as they were.
    std::vector<std::string> unknown;
    std::size_t names_not_utf8 = 0;  // found files whose names are not valid UTF-8 (kept)
    bool stopped = false;            // the stop flag was raised before the walk ended
};

// Walks `root` (a folder, given as normal_path gives it) with its
// subfolders through an explicit stack, following links to folders and
// files but never into a folder twice. Reads only folders and file status:
// no file is opened. `seen` is called every 256 entries looked at, with
// the count of music files found so far.
walk_result walk_folder(const std::string& root, walk_visits& visits, const walk_limits& limits = {},
                        const std::atomic<bool>* stop = nullptr,
                        const std::function<void(std::size_t)>& seen = nullptr);

// The folders directly in `folder` (links to folders too), by name in byte
// order, hidden ones left out: a folder browser's rows. Empty when it cannot
// be read.
std::vector<std::string> subfolders(const std::string& folder);

}  // namespace musicfiles
