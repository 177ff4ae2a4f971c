#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "converter/difficulty.hpp"
#include "converter/editions.hpp"
#include "library/song_library.hpp"
#include "stagecache/song_hash.hpp"
#include "stagecache/stage_cache.hpp"

namespace library {

enum class prepare_status { prepared, cached, failed };

struct prepare_outcome {
    prepare_status status = prepare_status::failed;
    std::string error;            // for a failure: what went wrong, naming the file
    std::string rebuilt_because;  // a damaged cache entry was prepared again: why it was refused
    std::string library_problem;  // the stage is fine but the song library could not be updated
    std::string stage_path;       // the cache entry to play
    stagecache::song_hash hash;
    std::uint64_t events = 0;
    double seconds = 0;  // of sound, for a prepared song
};

// The cache's key of a stage: names and format version from the registry.
stagecache::stage_key stage_key_of(converter::edition ed, converter::difficulty d);

// The library keeps where a song is, wherever velmora_play ran from.
std::string absolute_path(const std::string& path);

// A song hash as hex() wrote it; false for anything else.
bool parse_song_hash(const std::string& hex, stagecache::song_hash& out);

// A song's hash without reading the file when the library has it linked to
// this very file (record_play, a scan) and the file's size and time are
// still those seen then; any other file is hashed whole. False, with why,
// when it cannot be read.
bool song_hash_of(song_library* library, const std::string& path, stagecache::song_hash& out, std::string& why);

// Finds the song's stage in the cache or makes it: decodes the song at the
// converter's rate, converts it on `threads` threads, stores the entry and
// records it in the library (when there is one) with its checksum. A cached
// entry whose bytes differ from the checksum the library keeps is prepared
// again; one the library has no checksum of (from before checksums were
// kept) is checksummed as it is found, once the loader has taken it. A song
// that cannot be read or decoded leaves nothing in the cache. `progress` gets
// the share of the conversion done, from any thread. Never throws: any
// error, also one thrown by `progress`, is a failed outcome.
prepare_outcome prepare_song(const std::string& path, converter::edition ed, converter::difficulty d, unsigned threads,
                             const stagecache::stage_cache& cache, song_library* library,
                             const std::function<void(double)>& progress);

// What prepare_songs tells as it goes, from its worker threads; each may be empty.
struct prepare_callbacks {
    std::function<void(std::size_t song)> started;
    std::function<void(std::size_t song, double share)> advanced;
    std::function<void(std::size_t song, const prepare_outcome&)> finished;
};

// Prepares many songs, several at once: at most `threads` threads in all
// (0: one per core), the cores left over shared among the conversions, so
// one song gets every core for itself. The outcomes are in the songs' order.
std::vector<prepare_outcome> prepare_songs(const std::vector<std::string>& songs, converter::edition ed,
                                           converter::difficulty d, unsigned threads,
                                           const stagecache::stage_cache& cache, song_library* library,
                                           const prepare_callbacks& callbacks);

}  // namespace library
