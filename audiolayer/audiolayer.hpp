#pragma once
#include <cstdint>

// Our stand-in for a small audio library: the game plays a music file as a
// stream, the converter decodes a whole file into 16-bit samples. Handles are
// 0 on failure. The playback half (SDL_mixer) and the decoding half
// (libsndfile) are separate libraries, each with its own init/release: the
// converter needs no output device.
namespace audiolayer {

using handle = std::uint32_t;

// device -1 is the default output device.
bool init(int device, std::uint32_t freq);
bool release();
const char* last_error();

// Playback (library audiolayer_playback).
handle stream_create_file(const char* path);
bool stream_free(handle stream);
bool channel_set_position(handle channel, std::uint64_t byte_position);
bool channel_play(handle channel, bool restart);
bool channel_stop(handle channel);

// Decoding (library audiolayer_decode).
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

}  // namespace audiolayer
