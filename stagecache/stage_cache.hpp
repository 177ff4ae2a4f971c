#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "stagecache/song_hash.hpp"

namespace stagecache {

// Raised whenever what the converter writes for a song changes, so stages
// made by an older converter are prepared again instead of played.
constexpr int stage_format_version = 1;

enum class entry_state {
    missing,  // never prepared (or removed)
    valid,    // reads back whole through the game's pattern loader
    damaged,  // there, but cut short, corrupt or unreadable: prepare it again
};

struct entry_check {
    entry_state state = entry_state::missing;
    std::uint64_t events = 0;  // records in all groups of a valid entry
    std::string problem;       // why a damaged entry was refused
};

// Prepared stages, one pattern file per song, edition and format version,
// named by the song's hash so a renamed or moved song is still found. Entries
// are only ever replaced whole (written under a unique temporary name in the
// same folder, then renamed), so any number of processes may prepare the
// same song at once; the last rename wins with the same bytes.
class stage_cache {
public:
    // `root` is the cache folder, usually cache_dir(); stages live in its
    // "stages" folder, made on the first store.
    explicit stage_cache(std::string root);

    const std::string& stage_dir() const { return dir_; }
    std::string entry_path(const song_hash& song, std::string_view edition) const;

    // Reads the entry back through the pattern loader; a file with bytes
    // after its last group also counts as damaged.
    entry_check check(const song_hash& song, std::string_view edition) const;

    // Puts a whole pattern file in place; false with the reason, leaving
    // whatever entry was there as it was.
    bool store(const song_hash& song, std::string_view edition, const std::vector<std::uint8_t>& bytes,
               std::string& error) const;

    // Removes the temporaries of writers killed before their rename, when
    // older than `seconds`; a live writer's is young. Returns how many.
    int remove_stale_temporaries(long seconds) const;

private:
    std::string dir_;
};

}  // namespace stagecache
