#pragma once
#include <cstdint>
#include <string>

namespace stagecache {

// XXH3-128 of every byte of a song file: the song's identity in the stage
// cache and the song library, whatever its name or folder.
struct song_hash {
    std::uint64_t high = 0;
    std::uint64_t low = 0;

    // 32 lower-case hex digits, most significant first.
    std::string hex() const;
    bool operator==(const song_hash& o) const { return high == o.high && low == o.low; }
};

song_hash hash_bytes(const void* bytes, std::size_t count);
// False with the system's reason when the file cannot be read whole.
bool hash_file(const std::string& path, song_hash& out, std::string& error);

}  // namespace stagecache
