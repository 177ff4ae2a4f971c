#pragma once
#include <sndfile.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// How both halves of the audio layer, and the converter's loader beside
// them, open sound files and turn their samples into 16-bit values: one way,
// so the game plays and the converter analyses the same values of a file
// (library audiolayer_sound_file, on libsndfile).
namespace audiolayer {

struct opened_sound_file {
    SNDFILE* file = nullptr;  // null on failure; the caller closes it with sf_close
    SF_INFO info{};
    std::string why;           // on failure: the reason, in English, without the file's name
    bool undecodable = false;  // on failure: the file was read, but libsndfile does not decode it
};

// Opens a file for decoding. Anything but a regular file is refused before a
// byte of it is read (audiolayer/regular_file.hpp says why). An empty file is
// said to be one (libsndfile would guess at a pipe); a missing file or a
// folder gets the system's reason.
opened_sound_file open_sound_file(const char* path);

// Float and double samples, which libsndfile hands to 16-bit readers unscaled.
bool has_floating_samples(int format);

// Reads a file's frames as interleaved 16-bit values of all its channels:
// libsndfile's own conversion for integer samples, float_to_int16 for
// floating-point ones. Its buffer is made once, for blocks of up to
// max_frames frames.
class block_reader_16 {
public:
    block_reader_16(SNDFILE* file, unsigned channels, bool floating, std::size_t max_frames);

    // Up to `frames` frames (at most max_frames) into out; the frames read,
    // 0 at the end or on a decoding error (sf_error tells which).
    std::size_t read(std::int16_t* out, std::size_t frames);
    std::size_t buffer_bytes() const { return floats_.capacity() * sizeof(float); }

private:
    SNDFILE* file_;
    std::size_t channels_;
    bool floating_;
    std::vector<float> floats_;
};

}  // namespace audiolayer
