#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "converter/synthesis.hpp"
#include "stagecache/song_hash.hpp"
#include "stagecache/song_library.hpp"
#include "stagecache/stage_cache.hpp"

namespace frontend {

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

// The library keeps where a song is, wherever velmora_play ran from.
std::string absolute_path(const std::string& path);

// Finds the song's stage in the cache or makes it: decodes the song at the
// converter's rate, converts it on `threads` threads, stores the entry and
// records the song in the library (when there is one). A song that cannot be
// read or decoded leaves nothing in the cache. `progress` gets the share of
// the conversion done, from any thread. Never throws: any error, also one
// thrown by `progress`, is a failed outcome.
prepare_outcome prepare_song(const std::string& path, converter::edition ed, unsigned threads,
                             const stagecache::stage_cache& cache, stagecache::song_library* library,
                             const std::function<void(double)>& progress);

}  // namespace frontend
