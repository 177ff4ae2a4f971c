// The decoding half of the audio layer, on libsndfile. A loaded sample keeps
// its file open and is decoded straight into the caller's buffer when the data
// is asked for, so the whole sound is never held twice in memory.
#include <sndfile.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "audiolayer/decode.hpp"
#include "audiolayer/sound_file.hpp"

namespace audiolayer::decode {
namespace {

struct loaded_sample {
    SNDFILE* file;
    std::uint32_t rate;
    std::uint32_t chans;
    sf_count_t frames;  // what the decoder delivers, counted or declared; for a stream -1 until its end
    bool floating;      // float or double samples, converted by us
    // Streams only: the reader and how far it has read.
    std::shared_ptr<block_reader_16> reader;
    sf_count_t delivered = 0;
    bool failed = false;
};

struct decoder_state {
    std::mutex lock;
    bool ready = false;
    handle next = 1;
    std::map<handle, loaded_sample> samples;
};

decoder_state& state() {
    static decoder_state s;
    return s;
}

// Each thread's own: files loaded side by side fail for reasons of their own.
std::string& error_text() {
    thread_local std::string error;
    return error;
}

bool fail(decoder_state&, std::string why) {
    error_text() = std::move(why);
    return false;
}

handle no_sample(decoder_state&, std::string why) {
    error_text() = std::move(why);
    return 0;
}

long long no_frames(std::string why) {
    error_text() = std::move(why);
    return -1;
}

constexpr sf_count_t chunk_frames = 4096;

// Decodes up to max_frames frames into out (or only counts them when out is
// null). Returns the frames delivered, or -1 on a decoder error.
sf_count_t decode(const loaded_sample& smp, sf_count_t max_frames, std::int16_t* out) {
    std::vector<std::int16_t> scratch;
    if (out == nullptr) scratch.resize(static_cast<std::size_t>(chunk_frames) * smp.chans);
    block_reader_16 reader(smp.file, smp.chans, smp.floating, chunk_frames);

    sf_count_t done = 0;
    while (done < max_frames) {
        const sf_count_t want = std::min(chunk_frames, max_frames - done);
        std::int16_t* dst = out ? out + static_cast<std::size_t>(done) * smp.chans : scratch.data();
        const std::size_t got = reader.read(dst, static_cast<std::size_t>(want));
        if (got == 0) break;
        done += static_cast<sf_count_t>(got);
    }
    if (sf_error(smp.file) != SF_ERR_NO_ERROR) return -1;
    return done;
}

std::uint32_t le32(const unsigned char* b) {
    return b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
}

// libsndfile quietly shortens a WAV whose data chunk runs past the end of the
// file; a cut-off download must be refused instead.
bool riff_data_truncated(const char* path) {
    std::FILE* f = std::fopen(path, "rb");
    if (!f) return false;
    bool truncated = false;
    unsigned char head[12];
    if (std::fread(head, 1, 12, f) == 12 && std::equal(head, head + 4, "RIFF") &&
        std::equal(head + 8, head + 12, "WAVE") && std::fseek(f, 0, SEEK_END) == 0) {
        const long long file_size = std::ftell(f);
        long long pos = 12;
        unsigned char chunk[8];
        while (pos + 8 <= file_size && std::fseek(f, static_cast<long>(pos), SEEK_SET) == 0 &&
               std::fread(chunk, 1, 8, f) == 8) {
            const std::uint32_t size = le32(chunk + 4);
            if (std::equal(chunk, chunk + 4, "data")) {
                // 0 and all ones are the sizes streaming writers leave behind.
                truncated = size != 0 && size != 0xFFFFFFFFu && size > file_size - (pos + 8);
                break;
            }
            pos += 8 + static_cast<long long>(size) + (size & 1u);
        }
    }
    std::fclose(f);
    return truncated;
}

// Decoded 16-bit data beyond this many times the file's size is a promise to
// check, not to trust: a header of a few hundred bytes can declare gigabytes,
// which the caller would allocate before the data turned out missing. Real
// compression stays far below it; only near-silent lossless data goes
// beyond, and it is then counted, which costs one extra decoding pass.
constexpr std::uint64_t max_trusted_expansion = 64;

bool promises_more_than_it_holds(const char* path, const loaded_sample& smp) {
    struct stat st {};
    if (::stat(path, &st) != 0) return false;
    const std::uint64_t declared = static_cast<std::uint64_t>(smp.frames) * smp.chans * 2u;
    return declared > static_cast<std::uint64_t>(st.st_size) * max_trusted_expansion;
}

constexpr std::uint64_t max_data_bytes = std::numeric_limits<std::uint32_t>::max();

// Whether the decoder reaches the declared last frame, left at the start
// again: a seek, not a decoding of the whole file. A FLAC file cut short or a
// header promising more than the file holds fails here.
bool last_frame_reachable(const loaded_sample& smp) {
    std::vector<std::int16_t> one(smp.chans);
    block_reader_16 reader(smp.file, smp.chans, smp.floating, 1);
    const bool reached = sf_seek(smp.file, smp.frames - 1, SEEK_SET) == smp.frames - 1 &&
                         reader.read(one.data(), 1) == 1 && sf_error(smp.file) == SF_ERR_NO_ERROR;
    return sf_seek(smp.file, 0, SEEK_SET) == 0 && reached;
}

}  // namespace

bool init(int, std::uint32_t) {
    decoder_state& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    if (s.ready) return fail(s, "the audio layer is already initialised");
    s.ready = true;
    error_text().clear();
    return true;
}

bool release() {
    decoder_state& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    if (!s.ready) return fail(s, "the audio layer is not initialised");
    for (auto& kv : s.samples) sf_close(kv.second.file);
    s.samples.clear();
    s.ready = false;
    return true;
}

const char* last_error() { return error_text().c_str(); }

namespace {

struct opened_sample {
    SNDFILE* file = nullptr;  // null when refused (the reason is said)
    SF_INFO info{};
    loaded_sample smp{};
};

// What a whole load and a stream check alike before anything is decoded:
// the layer ready, a regular sound file with channels and a rate, a RIFF
// data chunk not cut short.
opened_sample open_sample(decoder_state& s, const char* path) {
    {
        std::lock_guard<std::mutex> g(s.lock);
        if (!s.ready) return no_sample(s, "the audio layer is not initialised"), opened_sample{};
    }
    if (path == nullptr) return no_sample(s, "no file name"), opened_sample{};
    const opened_sound_file opened = open_sound_file(path);
    if (!opened.file) return no_sample(s, std::string(path) + ": " + opened.why), opened_sample{};
    const SF_INFO& info = opened.info;
    opened_sample o{opened.file, info,
                    loaded_sample{opened.file, static_cast<std::uint32_t>(info.samplerate),
                                  static_cast<std::uint32_t>(info.channels), info.frames,
                                  has_floating_samples(info.format), nullptr, 0, false}};
    const char* why = nullptr;
    if (info.channels <= 0 || info.samplerate <= 0)
        why = "no channels or no sampling rate";
    else if (riff_data_truncated(path))
        why = "the data chunk is cut short";
    if (why) {
        sf_close(o.file);
        no_sample(s, std::string(path) + ": " + why);
        return opened_sample{};
    }
    return o;
}

// Gives the checked sample its handle, unless the layer went away meanwhile.
handle add_sample(decoder_state& s, const char* path, loaded_sample smp, const char* done) {
    std::lock_guard<std::mutex> g(s.lock);
    if (!s.ready) {
        sf_close(smp.file);
        return no_sample(s, std::string(path) + ": the audio layer was released while the file was " + done);
    }
    if (s.next == 0) ++s.next;
    const handle h = s.next++;
    s.samples.emplace(h, std::move(smp));
    return h;
}

}  // namespace

handle sample_load(const char* path) {
    decoder_state& s = state();
    // Opened, checked and (for some formats) decoded once without the lock,
    // which only guards the table of samples: an MP3 counted on one thread
    // must not hold up the loads of others.
    opened_sample o = open_sample(s, path);
    if (!o.file) return 0;
    SNDFILE* file = o.file;
    const SF_INFO& info = o.info;
    const int major = info.format & SF_FORMAT_TYPEMASK;
    loaded_sample& smp = o.smp;
    auto refuse = [&](const std::string& why) {
        sf_close(file);
        return no_sample(s, std::string(path) + ": " + why);
    };

    // MPEG frame counts are estimates and some containers give none: decode
    // the whole file once to learn the true length and meet any damage now.
    if (major == SF_FORMAT_MPEG || info.frames == SF_COUNT_MAX || info.frames < 0) {
        smp.frames = decode(smp, std::numeric_limits<sf_count_t>::max(), nullptr);
        if (smp.frames < 0) return refuse(sf_strerror(file));
        if (sf_seek(file, 0, SEEK_SET) != 0) return refuse("cannot rewind the decoder");
    } else if (promises_more_than_it_holds(path, smp)) {
        const sf_count_t delivered = decode(smp, smp.frames, nullptr);
        if (delivered < 0) return refuse(sf_strerror(file));
        if (delivered < smp.frames) return refuse("the sound data ends early");
        if (sf_seek(file, 0, SEEK_SET) != 0) return refuse("cannot rewind the decoder");
    }
    if (smp.frames == 0) return refuse("no sound data");
    const std::uint64_t bytes = static_cast<std::uint64_t>(smp.frames) * smp.chans * 2u;
    if (bytes > std::numeric_limits<std::uint32_t>::max()) return refuse("longer than 4 GiB of 16-bit data");

    return add_sample(s, path, std::move(smp), "loaded");
}

handle stream_open(const char* path) {
    decoder_state& s = state();
    opened_sample o = open_sample(s, path);
    if (!o.file) return 0;
    SNDFILE* file = o.file;
    const SF_INFO& info = o.info;
    const int major = info.format & SF_FORMAT_TYPEMASK;
    loaded_sample& smp = o.smp;
    auto refuse = [&](const std::string& why) {
        sf_close(file);
        return no_sample(s, std::string(path) + ": " + why);
    };
    if (major == SF_FORMAT_MPEG || info.frames == SF_COUNT_MAX || info.frames < 0) {
        smp.frames = -1;  // learnt at the end
    } else {
        if (info.frames == 0) return refuse("no sound data");
        if (static_cast<std::uint64_t>(smp.frames) * smp.chans * 2u > max_data_bytes)
            return refuse("longer than 4 GiB of 16-bit data");
        // A format the decoder cannot seek in is found short at its end instead.
        if (info.seekable && !last_frame_reachable(smp)) return refuse("the sound data ends early");
    }
    smp.reader = std::make_shared<block_reader_16>(file, smp.chans, smp.floating, chunk_frames);

    return add_sample(s, path, std::move(smp), "opened");
}

bool stream_get_info(handle stream, stream_info* out) {
    decoder_state& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    auto it = s.samples.find(stream);
    if (it == s.samples.end() || !it->second.reader) return fail(s, "no such stream");
    if (out == nullptr) return fail(s, "no place for the information");
    const loaded_sample& smp = it->second;
    out->freq = smp.rate;
    out->chans = smp.chans;
    out->frames = smp.frames < 0 ? 0 : static_cast<std::uint64_t>(smp.frames);
    return true;
}

long long stream_read(handle stream, std::int16_t* buffer, std::uint32_t frames) {
    decoder_state& s = state();
    loaded_sample* smp;
    {
        std::lock_guard<std::mutex> g(s.lock);
        auto it = s.samples.find(stream);
        if (it == s.samples.end() || !it->second.reader) return no_frames("no such stream");
        smp = &it->second;  // map nodes stay put; only this thread reads the stream
    }
    if (smp->failed) return no_frames("the stream has failed already");
    if (buffer == nullptr && frames > 0) return no_frames("no buffer");
    auto broken = [&](std::string why) {
        smp->failed = true;
        return no_frames(std::move(why));
    };
    const bool known = smp->frames >= 0;
    sf_count_t want = frames;
    if (known) want = std::min<sf_count_t>(want, smp->frames - smp->delivered);
    sf_count_t done = 0;
    while (done < want) {
        const std::size_t got = smp->reader->read(buffer + static_cast<std::size_t>(done) * smp->chans,
                                                  static_cast<std::size_t>(std::min(chunk_frames, want - done)));
        if (got == 0) break;
        done += static_cast<sf_count_t>(got);
    }
    if (sf_error(smp->file) != SF_ERR_NO_ERROR) return broken(sf_strerror(smp->file));
    smp->delivered += done;
    if (static_cast<std::uint64_t>(smp->delivered) * smp->chans * 2u > max_data_bytes)
        return broken("longer than 4 GiB of 16-bit data");
    if (done < want) {
        // The end: it must hold the sound it promised, and some.
        if (known && smp->delivered != smp->frames) return broken("the sound data ends early");
        if (smp->delivered == 0) return broken("no sound data");
        if (!known) smp->frames = smp->delivered;
    }
    return done;
}

bool sample_get_info(handle sample, sample_info* out) {
    decoder_state& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    auto it = s.samples.find(sample);
    if (it == s.samples.end() || it->second.reader) return fail(s, "no such sample");
    if (out == nullptr) return fail(s, "no place for the information");
    const loaded_sample& smp = it->second;
    out->freq = smp.rate;
    out->length = static_cast<std::uint32_t>(smp.frames * smp.chans * 2);
    out->chans = smp.chans;
    return true;
}

bool sample_get_data(handle sample, void* buffer) {
    decoder_state& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    auto it = s.samples.find(sample);
    if (it == s.samples.end() || it->second.reader) return fail(s, "no such sample");
    if (buffer == nullptr) return fail(s, "no buffer");
    const loaded_sample& smp = it->second;
    if (sf_seek(smp.file, 0, SEEK_SET) != 0) return fail(s, "cannot rewind the decoder");
    const sf_count_t got = decode(smp, smp.frames, static_cast<std::int16_t*>(buffer));
    if (got < 0) return fail(s, sf_strerror(smp.file));
    // Fewer frames than the header promised: the file is cut short or damaged.
    if (got != smp.frames) return fail(s, "the sound data ends early");
    return true;
}

bool sample_free(handle sample) {
    decoder_state& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    auto it = s.samples.find(sample);
    if (it == s.samples.end()) return fail(s, "no such sample");
    sf_close(it->second.file);
    s.samples.erase(it);
    return true;
}

}  // namespace audiolayer::decode
