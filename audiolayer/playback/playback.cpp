// The playback half of the audio layer. SDL_mixer opens the device and calls
// our music hook for every buffer; the hook decodes the stream that was
// started last with libsndfile, block by block, takes its front left and
// right channels, resamples them with libsoxr when the file's rate is not the
// device's, and writes the device's sample format. Decoding in the hook is
// what SDL_mixer's own music players do; a block costs well under a
// millisecond against a buffer of 46 ms.
//
// The main thread changes what the hook reads only while holding SDL's audio
// lock, which the audio thread holds for the whole of every callback.
#include <SDL.h>
#include <SDL_mixer.h>
#include <sndfile.h>
#include <soxr.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "audiolayer/float_to_int16.hpp"
#include "audiolayer/playback.hpp"
#include "audiolayer/sound_file.hpp"

namespace audiolayer::playback {

namespace {

constexpr int output_channels = 2;        // asked of the device
constexpr int mixer_chunk_frames = 2048;  // about 46 ms at 44100 Hz
// Samples (frames times channels) a stream decodes at a time: a fixed
// budget, so a file with many channels takes fewer frames per block.
constexpr std::size_t block_samples = 16384;
constexpr std::size_t min_block_frames = 256;

}  // namespace

struct music_stream {
    SNDFILE* file = nullptr;
    int source_channels = 0;
    int left = 0;           // source channels played as left and right
    int right = 0;
    std::size_t block_frames = 0;
    soxr_t resampler = nullptr;  // only when the file's rate is not the device's

    // Fixed-size buffers, allocated once when the stream is created.
    std::optional<block_reader_16> direct;  // sources played at their own rate, into decoded16
    std::vector<std::int16_t> decoded16;
    std::vector<float> decoded;             // resampled sources
    std::vector<float> pending;           // resampler input not yet taken: stereo
    std::size_t pending_at = 0;
    std::size_t pending_frames = 0;
    std::vector<float> resampled;         // resampler output: stereo
    std::vector<std::int16_t> stereo;     // the next frames for the device

    bool at_start = true;            // nothing decoded since the open or the last rewind
    bool source_done = false;        // the decoder has delivered its last frame
    std::atomic<bool> ended{false};  // every frame has been handed over
    std::atomic<std::uint64_t> frames_played{0};  // since the open or the last rewind
    // The count as the last hook left it and when (steady_clock µs, 0: not
    // yet), for the clock: written by the audio thread as a sequence lock
    // (odd while writing), so a reader never pairs one hook's count with
    // another's time.
    std::atomic<std::uint32_t> handed_seq{0};
    std::atomic<std::uint64_t> handed_frames{0};
    std::atomic<std::int64_t> handed_at_us{0};

    void set_handed(std::uint64_t frames, std::int64_t at_us) {
        const std::uint32_t seq = handed_seq.load(std::memory_order_relaxed);
        handed_seq.store(seq + 1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        handed_frames.store(frames, std::memory_order_relaxed);
        handed_at_us.store(at_us, std::memory_order_relaxed);
        handed_seq.store(seq + 2, std::memory_order_release);
    }
    void get_handed(std::uint64_t& frames, std::int64_t& at_us) const {
        for (;;) {
            const std::uint32_t seq = handed_seq.load(std::memory_order_acquire);
            frames = handed_frames.load(std::memory_order_relaxed);
            at_us = handed_at_us.load(std::memory_order_relaxed);
            std::atomic_thread_fence(std::memory_order_acquire);
            if ((seq & 1u) == 0 && handed_seq.load(std::memory_order_relaxed) == seq) return;
            std::this_thread::yield();  // the audio thread is between two stores
        }
    }
    // A fade-in under way: frames into it, and its length (0: none). Set
    // with the audio locked, read by the hook.
    std::uint32_t fade_done = 0;
    std::uint32_t fade_frames = 0;

    ~music_stream() {
        if (resampler) soxr_delete(resampler);
        if (file) sf_close(file);
    }

    std::size_t buffer_bytes() const {
        return (direct ? direct->buffer_bytes() : 0) + decoded16.capacity() * sizeof(std::int16_t) +
               decoded.capacity() * sizeof(float) +
               pending.capacity() * sizeof(float) + resampled.capacity() * sizeof(float) +
               stereo.capacity() * sizeof(std::int16_t);
    }
};

void detached_deleter::operator()(music_stream* m) const { delete m; }

namespace {

struct playback_state {
    bool opened = false;
    int rate = 0;  // the device's, as opened
    std::atomic<int> open_rate{0};  // the same, for streams opened on other threads; 0 when closed
    Uint16 format = 0;
    int channels = 0;
    int bytes_per_frame = 0;
    handle next_handle = 1;
    std::map<handle, std::unique_ptr<music_stream>> streams;
    std::map<handle, Mix_Chunk*> samples;
    // What the hook plays: the stream started last, unless stopped or paused.
    music_stream* current = nullptr;
    bool paused = false;
    std::atomic<int> volume{full_volume};
    std::atomic<std::uint32_t> buffer_frames{mixer_chunk_frames};
    std::string error;
};

playback_state& state() {
    static playback_state s;
    return s;
}

bool fail(std::string why) {
    state().error = std::move(why);
    return false;
}

music_stream* find(handle h) {
    auto& s = state();
    auto it = s.streams.find(h);
    return it == s.streams.end() ? nullptr : it->second.get();
}

struct audio_lock {
    audio_lock() { SDL_LockAudio(); }
    ~audio_lock() { SDL_UnlockAudio(); }
    audio_lock(const audio_lock&) = delete;
    audio_lock& operator=(const audio_lock&) = delete;
};

// Front left and right: from the file's channel map when it has one, in
// Vorbis order for Ogg files of three or more channels (left, centre, right,
// ..., except four channels: front pair, rear pair), otherwise the first two.
// Other channels are left out rather than mixed in: a centre or rear channel
// folded into two would change the balance the file was mixed for.
void choose_front_pair(SNDFILE* file, const SF_INFO& info, int& left, int& right) {
    const int n = info.channels;
    left = 0;
    right = n > 1 ? 1 : 0;
    if (n < 2) return;
    std::vector<int> map(static_cast<std::size_t>(n));
    if (sf_command(file, SFC_GET_CHANNEL_MAP_INFO, map.data(), static_cast<int>(map.size() * sizeof(int))) ==
        SF_TRUE) {
        int l = -1, r = -1;
        for (int c = 0; c < n; ++c) {
            if (l < 0 && (map[c] == SF_CHANNEL_MAP_LEFT || map[c] == SF_CHANNEL_MAP_FRONT_LEFT)) l = c;
            if (r < 0 && (map[c] == SF_CHANNEL_MAP_RIGHT || map[c] == SF_CHANNEL_MAP_FRONT_RIGHT)) r = c;
        }
        if (l >= 0 && r >= 0) {
            left = l;
            right = r;
        }
        return;
    }
    if ((info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_OGG && n >= 3 && n != 4) right = 2;
}

// Up to `frames` (at most one block) frames at the file's own rate, as
// 16-bit stereo: the values the converter's decoder gives for the same file.
std::size_t decode_direct(music_stream& m, std::int16_t* out, std::size_t frames) {
    const std::size_t c = static_cast<std::size_t>(m.source_channels);
    const std::size_t l = static_cast<std::size_t>(m.left), r = static_cast<std::size_t>(m.right);
    const std::size_t got = m.direct->read(m.decoded16.data(), frames);
    for (std::size_t k = 0; k < got; ++k) {
        const std::int16_t* in = m.decoded16.data() + k * c;
        out[2 * k] = in[l];
        out[2 * k + 1] = in[r];
    }
    return got;
}

// The same through the resampler, fed from full-precision samples.
std::size_t decode_resampled(music_stream& m, std::int16_t* out, std::size_t frames) {
    const std::size_t c = static_cast<std::size_t>(m.source_channels);
    const std::size_t l = static_cast<std::size_t>(m.left), r = static_cast<std::size_t>(m.right);
    std::size_t done = 0;
    while (done < frames) {
        if (m.pending_frames == 0 && !m.source_done) {
            const sf_count_t got = sf_readf_float(m.file, m.decoded.data(), static_cast<sf_count_t>(m.block_frames));
            if (got <= 0) {
                m.source_done = true;
            } else {
                for (sf_count_t k = 0; k < got; ++k) {
                    const float* in = m.decoded.data() + static_cast<std::size_t>(k) * c;
                    m.pending[2 * k] = in[l];
                    m.pending[2 * k + 1] = in[r];
                }
                m.pending_at = 0;
                m.pending_frames = static_cast<std::size_t>(got);
            }
        }
        // No input left: the resampler is asked to flush what it holds.
        const float* in = m.pending_frames > 0 ? m.pending.data() + 2 * m.pending_at : nullptr;
        std::size_t taken = 0, made = 0;
        if (soxr_process(m.resampler, in, m.pending_frames, &taken, m.resampled.data(), frames - done, &made)) break;
        m.pending_at += taken;
        m.pending_frames -= taken;
        for (std::size_t k = 0; k < 2 * made; ++k) out[2 * done + k] = float_to_int16(m.resampled[k]);
        done += made;
        // Flushed, or stuck: either way this stream has nothing more to give,
        // and the audio thread must not spin with the lock held.
        if (made == 0 && taken == 0) break;
    }
    return done;
}

std::size_t decode(music_stream& m, std::int16_t* out, std::size_t frames) {
    m.at_start = false;
    return m.resampler ? decode_resampled(m, out, frames) : decode_direct(m, out, frames);
}

void put_sample(Uint8*& p, int value, Uint16 format) {
    if ((format & 0xFF) == 8) {
        const int v = value >> 8;
        *p++ = static_cast<Uint8>(format == AUDIO_U8 ? v + 128 : v);
        return;
    }
    Uint16 v = static_cast<Uint16>(value);
    if (format == AUDIO_U16LSB || format == AUDIO_U16MSB) v ^= 0x8000u;
    if (format == AUDIO_S16MSB || format == AUDIO_U16MSB) {
        p[0] = static_cast<Uint8>(v >> 8);
        p[1] = static_cast<Uint8>(v & 0xFF);
    } else {
        p[0] = static_cast<Uint8>(v & 0xFF);
        p[1] = static_cast<Uint8>(v >> 8);
    }
    p += 2;
}

// Writes `frames` stereo frames (null: silence) in the device's layout: a
// mono device hears both sides averaged, channels beyond two stay silent.
void put_frames(const playback_state& s, Uint8*& p, const std::int16_t* lr, std::size_t frames, int volume) {
    // The device as asked for: the hook runs for every buffer, also through
    // silence, so the common case is a copy.
    if (s.format == AUDIO_S16SYS && s.channels == 2 && (!lr || volume == full_volume)) {
        const std::size_t bytes = frames * 2 * sizeof(std::int16_t);
        if (lr) {
            std::memcpy(p, lr, bytes);
        } else {
            std::memset(p, 0, bytes);
        }
        p += bytes;
        return;
    }
    for (std::size_t k = 0; k < frames; ++k) {
        int l = lr ? lr[2 * k] : 0, r = lr ? lr[2 * k + 1] : 0;
        if (volume != full_volume) {
            l = l * volume / full_volume;
            r = r * volume / full_volume;
        }
        if (s.channels == 1) {
            put_sample(p, (l + r) / 2, s.format);
            continue;
        }
        put_sample(p, l, s.format);
        put_sample(p, r, s.format);
        for (int c = 2; c < s.channels; ++c) put_sample(p, 0, s.format);
    }
}

// The fade-in's share of each frame's level, rising one step per frame.
void fade_in(music_stream& m, std::int16_t* lr, std::size_t frames) {
    for (std::size_t k = 0; k < frames && m.fade_done < m.fade_frames; ++k, ++m.fade_done) {
        for (int side = 0; side < 2; ++side) {
            std::int16_t& v = lr[2 * k + static_cast<std::size_t>(side)];
            v = static_cast<std::int16_t>(static_cast<std::int64_t>(v) * m.fade_done / m.fade_frames);
        }
    }
}

void mix_music(void*, Uint8* stream, int len) {
    auto& s = state();
    std::size_t frames = static_cast<std::size_t>(len / s.bytes_per_frame);
    s.buffer_frames.store(static_cast<std::uint32_t>(frames), std::memory_order_relaxed);
    const int volume = s.volume.load(std::memory_order_relaxed);
    music_stream* m = s.paused ? nullptr : s.current;
    bool handed = false;
    while (frames > 0) {
        if (!m || m->ended.load(std::memory_order_relaxed)) {
            put_frames(s, stream, nullptr, frames, volume);
            break;
        }
        const std::size_t piece = std::min(frames, m->block_frames);
        const std::size_t got = decode(*m, m->stereo.data(), piece);
        if (m->fade_done < m->fade_frames) fade_in(*m, m->stereo.data(), got);
        m->frames_played.fetch_add(got, std::memory_order_relaxed);
        handed = handed || got > 0;
        if (got < piece) m->ended.store(true, std::memory_order_relaxed);
        put_frames(s, stream, m->stereo.data(), got, volume);
        frames -= got;
    }
    // The buffer goes to the device as the hook returns: the moment the
    // frame clock can place the music heard by, rather than when it happens
    // to look, which after a stall of the game is up to a buffer later.
    if (handed) {
        using namespace std::chrono;
        m->set_handed(m->frames_played.load(std::memory_order_relaxed),
                      duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
    }
}

// Back to the first frame. Called with the audio locked.
bool rewind(music_stream& m) {
    m.frames_played.store(0, std::memory_order_relaxed);
    m.set_handed(0, 0);
    m.fade_frames = 0;
    if (m.at_start) return true;
    m.source_done = false;
    m.pending_frames = 0;
    m.pending_at = 0;
    // A failed rewind leaves the stream silent rather than playing on from
    // the wrong place.
    if (sf_seek(m.file, 0, SEEK_SET) != 0 || (m.resampler && soxr_clear(m.resampler))) {
        m.ended.store(true, std::memory_order_relaxed);
        return fail(std::string("cannot go back to the start of the music: ") + sf_strerror(m.file));
    }
    m.at_start = true;
    m.ended.store(false, std::memory_order_relaxed);
    return true;
}

// The audio output is open and there is a file name; otherwise says which not.
bool ready_to_open(const char* path) {
    if (!state().opened) return fail("the audio output is not open");
    if (!path) return fail("no file name");
    return true;
}

// A volume in percent, for the music and the samples alike; otherwise says
// the range.
bool is_volume(int percent) {
    if (percent >= min_volume && percent <= full_volume) return true;
    return fail("the volume must be " + std::to_string(min_volume) + " to " + std::to_string(full_volume) + ", not " +
                std::to_string(percent));
}

// Streams and samples share one count, so no handle names both.
handle next_handle() {
    auto& s = state();
    const handle h = s.next_handle++;
    if (s.next_handle == 0) s.next_handle = 1;
    return h;
}

bool is_playing(const music_stream* m) {
    const auto& s = state();
    return m && s.current == m && !s.paused && !m->ended.load(std::memory_order_relaxed);
}

// A missing file, a folder, an empty file and what is not a regular file
// get their own reasons; what is there but does not decode gets one.
std::string open_stream(const char* path, music_stream& m, int device_rate, std::uint64_t* length = nullptr,
                        std::uint32_t* file_rate = nullptr) {
    opened_sound_file opened = open_sound_file(path);
    m.file = opened.file;
    if (!m.file) return opened.undecodable ? "not a sound file that can be decoded (" + opened.why + ")" : opened.why;
    const SF_INFO& info = opened.info;
    if (info.channels <= 0 || info.samplerate <= 0)
        return "not a sound file that can be decoded (no channels or no sampling rate)";
    if (length) *length = info.frames > 0 ? static_cast<std::uint64_t>(info.frames) : 0;
    if (file_rate) *file_rate = static_cast<std::uint32_t>(info.samplerate);
    m.source_channels = info.channels;
    choose_front_pair(m.file, info, m.left, m.right);
    const std::size_t c = static_cast<std::size_t>(info.channels);
    m.block_frames = std::max(min_block_frames, block_samples / c);
    m.stereo.resize(2 * m.block_frames);
    if (info.samplerate == device_rate) {
        m.direct.emplace(m.file, static_cast<unsigned>(c), has_floating_samples(info.format), m.block_frames);
        m.decoded16.resize(m.block_frames * c);
        return {};
    }
    soxr_error_t why = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
    m.resampler = soxr_create(info.samplerate, device_rate, 2, &why, &io, &quality, nullptr);
    if (!m.resampler) {
        return "cannot convert its sampling rate of " + std::to_string(info.samplerate) + " Hz (" +
               (why ? why : "the resampler cannot be created") + ")";
    }
    m.decoded.resize(m.block_frames * c);
    m.pending.resize(2 * m.block_frames);
    m.resampled.resize(2 * m.block_frames);
    return {};
}

handle keep(std::unique_ptr<music_stream> m) {
    const handle h = next_handle();
    state().streams.emplace(h, std::move(m));
    return h;
}

}  // namespace

bool init(int device, std::uint32_t freq) {
    auto& s = state();
    if (s.opened) return fail("the audio output is already open");
    if (device != -1) return fail("only the default output device (-1) is supported");
    if (freq == 0 || freq > 192000) return fail("unsupported output frequency " + std::to_string(freq) + " Hz");
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) < 0) return fail(SDL_GetError());
    if (Mix_OpenAudio(static_cast<int>(freq), AUDIO_S16SYS, output_channels, mixer_chunk_frames) != 0) {
        std::string why = Mix_GetError();
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        return fail(why);
    }
    // The device may give another format than asked for; the hook writes
    // whatever it was opened with.
    Uint16 format = 0;
    if (Mix_QuerySpec(&s.rate, &format, &s.channels) == 0 || s.rate <= 0 || s.channels <= 0) {
        Mix_CloseAudio();
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        return fail("the mixer does not report its output format");
    }
    s.format = format;
    s.open_rate = s.rate;
    s.bytes_per_frame = (format & 0xFF) / 8 * s.channels;
    s.volume = full_volume;
    s.buffer_frames = mixer_chunk_frames;
    s.current = nullptr;
    s.paused = false;
    Mix_HookMusic(mix_music, nullptr);
    Mix_Volume(-1, MIX_MAX_VOLUME);
    s.opened = true;
    s.error.clear();
    return true;
}

// Also runs at process exit, after the window has already shut SDL down:
// SDL_mixer's own state still has to be released then, and its calls into SDL
// are harmless once the audio subsystem is gone.
bool release() {
    auto& s = state();
    if (!s.opened) return fail("the audio output is not open");
    Mix_HookMusic(nullptr, nullptr);
    s.open_rate = 0;
    s.current = nullptr;
    s.streams.clear();
    Mix_HaltChannel(-1);
    for (const auto& [h, chunk] : s.samples) Mix_FreeChunk(chunk);
    s.samples.clear();
    Mix_CloseAudio();
    if (SDL_WasInit(SDL_INIT_AUDIO)) SDL_QuitSubSystem(SDL_INIT_AUDIO);
    s.opened = false;
    return true;
}

const char* last_error() { return state().error.c_str(); }

handle stream_create_file(const char* path) {
    auto& s = state();
    if (!ready_to_open(path)) return 0;
    auto m = std::make_unique<music_stream>();
    const std::string why = open_stream(path, *m, s.rate);
    if (!why.empty()) {
        fail(why);
        return 0;
    }
    return keep(std::move(m));
}

detached_open open_detached(const char* path, double start) {
    detached_open out;
    const int rate = state().open_rate.load();
    if (rate == 0) {
        out.error = "the audio output is not open";
        return out;
    }
    if (!path) {
        out.error = "no file name";
        return out;
    }
    detached_stream m(new music_stream);
    out.error = open_stream(path, *m, rate, &out.length_frames, &out.file_rate);
    if (!out.error.empty()) return out;
    if (start > 0 && start < 1 && out.length_frames > 0) {
        const auto frame = static_cast<sf_count_t>(static_cast<double>(out.length_frames) * start);
        // A file that cannot seek there plays from its beginning instead.
        if (sf_seek(m->file, frame, SEEK_SET) < 0 && sf_seek(m->file, 0, SEEK_SET) < 0) {
            out.error = std::string("cannot move into the music: ") + sf_strerror(m->file);
            return out;
        }
        m->at_start = false;
    }
    out.stream = std::move(m);
    return out;
}

handle stream_adopt(detached_stream stream) {
    if (!state().opened) {
        fail("the audio output is not open");
        return 0;
    }
    if (!stream) {
        fail("no stream to adopt");
        return 0;
    }
    return keep(std::unique_ptr<music_stream>(stream.release()));
}

bool stream_free(handle stream) {
    auto& s = state();
    music_stream* m = find(stream);
    if (!m) return fail("not a stream handle");
    if (s.current == m) {
        audio_lock lock;
        s.current = nullptr;
        s.paused = false;
    }
    s.streams.erase(stream);
    return true;
}

bool channel_set_position(handle channel, std::uint64_t byte_position) {
    music_stream* m = find(channel);
    if (!m) return fail("not a stream handle");
    if (byte_position != 0) return fail("only position 0 can be set");
    audio_lock lock;
    return rewind(*m);
}

bool channel_play(handle channel, bool restart) {
    auto& s = state();
    music_stream* m = find(channel);
    if (!m) return fail("not a stream handle");
    if (is_playing(m) && !restart) return true;
    audio_lock lock;
    const bool resume = s.current == m && s.paused && !restart && !m->ended.load(std::memory_order_relaxed);
    if (!resume && !rewind(*m)) return false;
    s.current = m;
    s.paused = false;
    return true;
}

bool channel_play_fading_in(handle channel, std::uint32_t fade_in_frames) {
    auto& s = state();
    music_stream* m = find(channel);
    if (!m) return fail("not a stream handle");
    audio_lock lock;
    m->fade_done = 0;
    m->fade_frames = fade_in_frames;
    s.current = m;
    s.paused = false;
    return true;
}

bool channel_pause(handle channel) {
    auto& s = state();
    music_stream* m = find(channel);
    if (!m) return fail("not a stream handle");
    if (!is_playing(m)) return fail("the stream is not playing");
    audio_lock lock;
    s.paused = true;
    return true;
}

bool channel_stop(handle channel) {
    auto& s = state();
    music_stream* m = find(channel);
    if (!m) return fail("not a stream handle");
    if (s.current == m) {
        audio_lock lock;
        s.current = nullptr;
        s.paused = false;
    }
    return true;
}

bool channel_is_playing(handle channel) { return is_playing(find(channel)); }

bool channel_get_clock(handle channel, output_clock* clock) {
    const auto& s = state();
    const music_stream* m = find(channel);
    if (!m) return fail("not a stream handle");
    if (!clock) return fail("no place for the clock");
    m->get_handed(clock->frames, clock->handed_at_us);
    clock->latency_frames = s.buffer_frames.load(std::memory_order_relaxed);
    clock->rate = static_cast<std::uint32_t>(s.rate);
    return true;
}

bool set_volume(int percent) {
    if (!is_volume(percent)) return false;
    state().volume.store(percent, std::memory_order_relaxed);
    return true;
}

int volume() { return state().volume.load(std::memory_order_relaxed); }

handle sample_load_file(const char* path) {
    auto& s = state();
    if (!ready_to_open(path)) return 0;
    // Read whole as a stream reads its file (regular files only, the same
    // reasons, the same values at the device's rate), then written in the
    // device's format as the hook writes the music.
    music_stream m;
    if (const std::string why = open_stream(path, m, s.rate); !why.empty()) {
        fail(why);
        return 0;
    }
    const std::size_t frame_bytes = static_cast<std::size_t>(s.bytes_per_frame);
    std::vector<Uint8> bytes;
    while (const std::size_t got = decode(m, m.stereo.data(), m.block_frames)) {
        bytes.resize(bytes.size() + got * frame_bytes);
        Uint8* p = bytes.data() + bytes.size() - got * frame_bytes;
        put_frames(s, p, m.stereo.data(), got, full_volume);
    }
    // Freed with the chunk by Mix_FreeChunk.
    auto* abuf = static_cast<Uint8*>(SDL_malloc(std::max<std::size_t>(bytes.size(), 1)));
    Mix_Chunk* chunk = abuf ? Mix_QuickLoad_RAW(abuf, static_cast<Uint32>(bytes.size())) : nullptr;
    if (!chunk) {
        SDL_free(abuf);
        fail(abuf ? Mix_GetError() : "out of memory");
        return 0;
    }
    std::copy(bytes.begin(), bytes.end(), abuf);
    chunk->allocated = 1;
    const handle h = next_handle();
    s.samples.emplace(h, chunk);
    return h;
}

bool sample_play(handle sample, int channel) {
    auto& s = state();
    const auto it = s.samples.find(sample);
    if (it == s.samples.end()) return fail("not a sample handle");
    if (channel < 0 || channel >= sample_channels) return fail("no such sample channel");
    if (Mix_PlayChannel(channel, it->second, 0) < 0) return fail(Mix_GetError());
    return true;
}

void samples_stop() {
    if (state().opened) Mix_HaltChannel(-1);
}

bool set_sample_volume(int percent) {
    if (!is_volume(percent)) return false;
    if (!state().opened) return fail("the audio output is not open");
    Mix_Volume(-1, percent * MIX_MAX_VOLUME / full_volume);
    return true;
}

std::size_t stream_buffer_bytes(handle stream) {
    const music_stream* m = find(stream);
    return m ? m->buffer_bytes() : 0;
}

}  // namespace audiolayer::playback
