#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// A song's audio fingerprint (Chromaprint's default algorithm, compressed and
// base64 as it prints it), taken while the song is prepared: it names the
// recording, whatever file or encoding it came in, so the scoreboard server
// can put a FLAC and an MP3 of one song on one board.
namespace library {

// At most this much of a song is heard: matching needs a few seconds of
// overlap, and versions of one recording differ in length by 2 s at most.
constexpr double fingerprint_seconds = 60;

// `frames` frames of 16-bit values, `channels` interleaved, at `rate` Hz;
// "" when the sound is too short or Chromaprint refuses it.
std::string audio_fingerprint(const std::int16_t* values, std::size_t frames, unsigned channels, unsigned rate);

}  // namespace library
