#pragma once
#include <memory>
#include <optional>
#include <string>

#include "alignment/alignment.hpp"
#include "converter/wave_sample.hpp"
#include "library/song_library.hpp"
#include "library/stage_choice.hpp"

// A song's own onset envelope, kept beside the stage cache by song hash: sent
// with a session whose stage was made from this file, and aligned against a
// board's when the board is on another copy's stage.
namespace library {

// $XDG_CACHE_HOME/velmora/envelopes/HASH.env; "" without a home.
std::string envelope_path(const std::string& song_hash);

// From the samples the stage is made of, in the same decode: no second
// decode of the song.
alignment::envelope envelope_of_source(const converter::wave_sample& source);

// Written under a temporary name and renamed; "" or why not.
std::string keep_envelope(const std::string& song_hash, const alignment::envelope& e);

// The kept envelope; when there is none (a stage prepared before envelopes
// were kept) or it does not read back, made from the file at song_path and
// kept. Nothing, with why, when the song cannot be decoded.
std::optional<alignment::envelope> own_envelope(const std::string& song_hash, const std::string& song_path,
                                                std::string& why);

// A song file decoded as preparing decodes it, with its recording's
// fingerprint ("" for a song too short to tell); nothing, with the
// decoder's why, when it cannot be decoded.
struct decoded_song {
    std::unique_ptr<converter::wave_sample> source;
    std::string fingerprint;
};
std::optional<decoded_song> decode_for_recording(const std::string& path, std::string& why);

// A song whose stage was cached before the library kept fingerprints (or
// by `--board`, which keeps nothing) gets its fingerprint now, and its
// envelope with it, from one decode of the file; kept in the library.
// "" with why when the file cannot be decoded or is too short.
std::string fingerprint_from_file(song_library& songs, const std::string& song_hash, const std::string& song_path,
                                  std::string& why);

// The kept envelope's bytes for a session sent with `stage_bytes`: only when
// that stage is the song's own in the cache, made from this very file; ""
// for a board's stage made from another copy, or with no envelope kept.
std::string envelope_for_upload(const std::string& song_hash, stage_choice choice, const std::string& stage_bytes);

}  // namespace library
