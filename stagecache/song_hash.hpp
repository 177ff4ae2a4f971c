#pragma once
#include "vaz/files.hpp"

namespace stagecache {

// XXH3-128 of every byte of a song file: the song's identity in the stage
// cache and the song library, whatever its name or folder.
using song_hash = vaz::hash_128;
using vaz::hash_bytes;
using vaz::hash_file;

}  // namespace stagecache
