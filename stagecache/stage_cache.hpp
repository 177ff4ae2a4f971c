#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "stagecache/song_hash.hpp"

namespace stagecache {

// Which stage of a song: the edition's name, the difficulty's name and the
// edition's stage format version (converter/editions.def), raised whenever
// what the converter writes changes, so stages of an older converter are
// prepared again instead of played.
struct stage_key {
    std::string edition;
    std::string difficulty;
    int format_version;

    stage_key(std::string edition_name, std::string difficulty_name = "hard", int version = 1)
        : edition(std::move(edition_name)), difficulty(std::move(difficulty_name)), format_version(version) {}
    stage_key(const char* edition_name) : stage_key(std::string(edition_name)) {}
};

enum class entry_state {
    missing,  // never prepared (or removed)
    valid,    // reads back whole through the game's pattern loader
    damaged,  // there, but cut short, corrupt or unreadable: prepare it again
};

struct entry_check {
    entry_state state = entry_state::missing;
    std::uint64_t events = 0;  // records in all groups of a valid entry
    std::string problem;       // why a damaged entry was refused
    std::string checksum;      // of a valid entry: checksum_text of its bytes
};

// XXH3-64 of a stage's bytes, as 16 lower-case hex digits: what the song
// library keeps to know a flipped byte the loader cannot see.
std::string checksum_text(const void* bytes, std::size_t count);

// Prepared stages, one pattern file per song, edition, difficulty and format
// version (hard, the full density, leaves its name out, as stages were named
// before difficulties were chosen),
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
    std::string entry_path(const song_hash& song, const stage_key& key) const;

    // Reads the entry back through the pattern loader; a file with bytes
    // after its last group also counts as damaged.
    entry_check check(const song_hash& song, const stage_key& key) const;

    // Puts a whole pattern file in place; false with the reason, leaving
    // whatever entry was there as it was.
    bool store(const song_hash& song, const stage_key& key, const std::vector<std::uint8_t>& bytes,
               std::string& error) const;

    // Removes the temporaries of writers killed before their rename, when
    // older than `seconds`; a live writer's is young. Returns how many.
    int remove_stale_temporaries(long seconds) const;

private:
    std::string dir_;
};

}  // namespace stagecache
