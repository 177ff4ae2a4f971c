#pragma once
#include <cstdint>
#include <string>
#include <vector>

// The bundled stage's music: a synthesised 120 BPM piece of drums, bass, pad,
// arpeggio and lead, written to be a good source for the converter.
//
// The converter turns every frequency bin whose loudness pulses within a
// second into bullets, and normalises each bin by its own peak, so even a
// faint pulse becomes a full burst. Sections are therefore told apart by what
// changes, not by how loud they are: the sustained pad uses only pitches that
// are whole multiples of 30 Hz, whose 1/60 s frames all have the same spectrum
// and so fire nothing, while drums, bass, arpeggio and lead fire bursts on the
// side of the stereo field they play in.
namespace song {

constexpr int sample_rate = 44100;
constexpr int channel_count = 2;
constexpr int full_length_seconds = 72;
constexpr int max_length_seconds = 3600;

// Interleaved left/right samples. seconds = 0 renders the full arrangement
// (full_length_seconds long: intro, verse, break, chorus, bridge, chorus,
// outro, ending in two seconds of silence); a positive value renders that many
// seconds of the chorus, faded out over the last second, for short stages.
std::vector<std::int16_t> render(int seconds);

// Writes a 16-bit PCM stereo WAV at sample_rate. On failure returns false and
// puts the reason in error.
bool write_wav(const std::string& path, const std::vector<std::int16_t>& samples, std::string& error);

// A title and an artist for the file's tags (Ogg Vorbis and FLAC only);
// empty ones are not written.
struct song_tags {
    std::string title, artist;
};

// The same, in the format the name asks for: ".ogg" Ogg Vorbis (the installed
// song, kept small), ".flac" 16-bit FLAC, ".mp3" MP3 at 128 kbit/s, anything
// else the WAV above.
bool write_song(const std::string& path, const std::vector<std::int16_t>& samples, std::string& error,
                const song_tags& tags = {});

}  // namespace song
