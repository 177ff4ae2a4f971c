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
// many files); release() closes those left. Closes streams too.
bool sample_free(handle sample);

// A file decoded once, block by block from its start, for a reader that
// needs each value once (the converter): only a block is ever held. Opened
// with sample_load's checks, and a file of known length that the decoder can
// seek in is checked to reach its last frame (a FLAC file cut short is
// refused here, before a value is read); a file whose length is only estimated (MPEG) is not decoded
// beforehand to count it: its length is known when its end is read.
struct stream_info {
    std::uint32_t freq;    // sampling rate in Hz
    std::uint32_t chans;   // channel count
    std::uint64_t frames;  // the frames it will deliver; 0 when not known before its end
};
handle stream_open(const char* path);
bool stream_get_info(handle stream, stream_info* info);
// Up to `frames` frames of signed 16-bit interleaved values into buffer, the
// next ones in the file: the frames delivered, 0 at the end, -1 when the
// file turns out damaged, cut short, without sound or longer than 4 GiB of
// 16-bit data, as sample_load refuses it (last_error says why). One thread
// reads a stream at a time; sample_free closes it.
long long stream_read(handle stream, std::int16_t* buffer, std::uint32_t frames);

// What vaz::xbass wraps to hold this half open.
struct layer {
    static bool init(int device, std::uint32_t freq) { return decode::init(device, freq); }
    static bool release() { return decode::release(); }
    static const char* last_error() { return decode::last_error(); }
};

}  // namespace audiolayer::decode
