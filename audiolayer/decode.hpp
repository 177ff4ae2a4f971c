#pragma once
#include <cstdint>

// The decoding half of the audio layer (library audiolayer_decode, on
// libsndfile): a whole file decoded into 16-bit samples for the converter,
// which needs no output device. Handles are 0 on failure.
namespace audiolayer::decode {

using handle = std::uint32_t;

// The arguments are those of the playback half; decoding uses no device.
bool init(int device, std::uint32_t freq);
bool release();
// Why the calling thread's last call failed: files may load on several
// threads at once.
const char* last_error();

struct sample_info {
    std::uint32_t freq;    // sampling rate in Hz
    std::uint32_t length;  // bytes of 16-bit interleaved data
    std::uint32_t chans;   // channel count
};
handle sample_load(const char* path);
bool sample_get_info(handle sample, sample_info* info);
// Copies info.length bytes of signed 16-bit interleaved values into buffer.
bool sample_get_data(handle sample, void* buffer);
// Closes a loaded sample before the layer is released (a program loading
// many files); release() closes those left.
bool sample_free(handle sample);

// What vaz::xbass wraps to hold this half open.
struct layer {
    static bool init(int device, std::uint32_t freq) { return decode::init(device, freq); }
    static bool release() { return decode::release(); }
    static const char* last_error() { return decode::last_error(); }
};

}  // namespace audiolayer::decode
