#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// The playback half of the audio layer (library audiolayer_playback): music
// files streamed to the default output device. Files are decoded with
// libsndfile, so the game plays whatever the converter reads (WAV in any
// encoding, FLAC, Ogg Vorbis, Opus, MP3, AIFF), and fed to SDL_mixer through
// its music hook in the device's format, rate and channel count. The front
// left and right channels are played (a mono file on both sides); further
// channels are left out. A stream holds a few fixed-size blocks, never the
// whole song. Handles are 0 on failure. Every function is called on the main
// thread, except open_detached.
namespace audiolayer::playback {

using handle = std::uint32_t;

// device -1 is the default output device.
bool init(int device, std::uint32_t freq);
bool release();
const char* last_error();

handle stream_create_file(const char* path);
bool stream_free(handle stream);
// Only position 0 is addressable: the next frame played is the file's first.
bool channel_set_position(handle channel, std::uint64_t byte_position);
// A stream that is stopped or has run out starts from its beginning, a paused
// one resumes, a playing one carries on unless restart is asked for.
bool channel_play(handle channel, bool restart);
bool channel_pause(handle channel);
bool channel_stop(handle channel);
// The stream is the one started last, is not paused or stopped, and its
// music has not run out.
bool channel_is_playing(handle channel);

// Where the music heard stands. Every music frame the hook hands to the
// device is counted; the device plays it latency_frames later.
struct output_clock {
    std::uint64_t frames;          // music frames handed over since the stream last started at position 0
    std::uint32_t latency_frames;  // frames the mixer's buffer holds ahead of the speaker
    std::uint32_t rate;            // output frames per second
    // When the hook handed the last of those frames over, in microseconds of
    // std::chrono::steady_clock; 0 while none has been since the start.
    std::int64_t handed_at_us;
};
bool channel_get_clock(handle channel, output_clock* clock);

// Music volume in percent of the decoded level (linear in amplitude), for
// every stream; full_volume at init. Values outside min_volume..full_volume
// are refused.
constexpr int min_volume = 0;
constexpr int full_volume = 100;
bool set_volume(int percent);
int volume();

// Short sounds (the game's effects) mixed over the music by SDL_mixer, on
// channels of their own, while the music goes on through the hook as ever.
// Each is read whole as a stream reads its file (what it refuses, a sample
// refuses with the same reason) and converted to the device's rate and
// format once; freed by release. Handles are 0 on failure.
constexpr int sample_channels = 4;
handle sample_load_file(const char* path);
// From the start on channel 0..sample_channels-1, cutting what it played.
bool sample_play(handle sample, int channel);
// Silences every channel.
void samples_stop();
// The samples' volume in percent (linear in amplitude), apart from the
// music's; full_volume at init. Values outside min_volume..full_volume are
// refused.
bool set_sample_volume(int percent);

// Bytes of sample buffers the stream holds for decoding, resampling and
// conversion; fixed when the stream is created, whatever the song's length.
// 0 for no stream.
std::size_t stream_buffer_bytes(handle stream);

// A stream opened away from the main thread and not yet known to the
// output: opening and moving into a song can take long (an MP3 may be read
// through to find a frame), which must not cost a frame of the screen
// waiting for it.
struct music_stream;
struct detached_deleter {
    void operator()(music_stream* m) const;
};
using detached_stream = std::unique_ptr<music_stream, detached_deleter>;

struct detached_open {
    detached_stream stream;           // null on failure
    std::string error;                // why, on failure
    std::uint64_t length_frames = 0;  // at the file's own rate, as its header tells
    std::uint32_t file_rate = 0;
};
// Opens PATH for the open output and moves it to `start` (0 to 1) of its
// length, where the stream will begin. Any thread may call it while the
// output is open; the stream is touched by nobody else until adopted.
detached_open open_detached(const char* path, double start);
// The stream becomes a handle, stopped where it was moved to; 0 for none.
handle stream_adopt(detached_stream stream);
// Plays the stream from where it stands (an adopted one from its start),
// its first fade_in_frames frames rising evenly from silence to the volume.
// Stop, pause and free work as for any stream, and channel_play starts it
// from its beginning again.
bool channel_play_fading_in(handle channel, std::uint32_t fade_in_frames);

// What vaz::xbass wraps to hold this half open.
struct layer {
    static bool init(int device, std::uint32_t freq) { return playback::init(device, freq); }
    static bool release() { return playback::release(); }
    static const char* last_error() { return playback::last_error(); }
};

}  // namespace audiolayer::playback
