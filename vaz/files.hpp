#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

// Whole files, as the stores above keep them: replaced in one step, and
// named by a hash of their bytes.
namespace vaz {

// Where a replacement stopped.
enum class replace_step {
    done,
    create,  // no temporary file could be made beside the target
    write,   // writing, syncing or renaming the temporary file failed
};

struct replace_result {
    replace_step failed_at = replace_step::done;
    int error = 0;  // errno of the failed step
};

// Writes `size` bytes to a new file made from `temporary_template` (a name in
// the target's folder ending in "XXXXXX", so the rename cannot cross file
// systems), gives it `mode`, puts it on disk, then renames it over `path` and
// syncs the folder. Whatever fails, the temporary file is removed, so `path`
// is either the old file or the whole new one, also after a crash.
replace_result replace_file(const std::string& path, std::string temporary_template, const std::uint8_t* bytes,
                            std::size_t size, mode_t mode);

// XXH3-128 of a file's bytes: the one 128-bit hash type, a song's identity
// in the stage cache and the song library and a pattern's in a replay.
struct hash_128 {
    std::uint64_t low = 0;
    std::uint64_t high = 0;

    // 32 lower-case hex digits, most significant first.
    std::string hex() const;
};
inline bool operator==(const hash_128& a, const hash_128& b) { return a.low == b.low && a.high == b.high; }
inline bool operator!=(const hash_128& a, const hash_128& b) { return !(a == b); }

hash_128 hash_bytes(const void* bytes, std::size_t count);

// XXH3-128 of every byte of a file; false with the reason when the file
// cannot be read whole: a folder, or anything but a regular file, which is
// refused before it is read (a pipe or a device would never end).
bool hash_file(const std::string& path, hash_128& out, std::string& error);

// Whether a name read back from a database or a file may be opened or
// deleted inside its folder: not empty, not "." or "..", no '/' (and no NUL).
inline bool plain_file_name(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

}  // namespace vaz
