#include "converter/load_any.hpp"

#include <sndfile.h>
#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <mutex>
#include <new>
#include <vector>

#include "audiolayer/decode.hpp"
#include "audiolayer/float_to_int16.hpp"
#include "audiolayer/sound_file.hpp"

namespace converter {

namespace {

constexpr sf_count_t chunk_frames = 16384;

// The decoding layer keeps one process-wide state that a load needs
// initialised. When the caller has not initialised it, the first of the loads
// under way initialises it and the last one releases it; the loads themselves
// run side by side (one held the layer for a whole MP3 decode before).
class decoding_layer_in_use {
public:
    decoding_layer_in_use() {
        use& u = shared();
        std::lock_guard<std::mutex> g(u.mutex);
        if (u.loads++ == 0) u.owned = audiolayer::decode::init(-1, sample_rate);
    }
    ~decoding_layer_in_use() {
        use& u = shared();
        std::lock_guard<std::mutex> g(u.mutex);
        if (--u.loads == 0 && u.owned) {
            audiolayer::decode::release();
            u.owned = false;
        }
    }
    decoding_layer_in_use(const decoding_layer_in_use&) = delete;
    decoding_layer_in_use& operator=(const decoding_layer_in_use&) = delete;

private:
    struct use {
        std::mutex mutex;
        unsigned loads = 0;
        bool owned = false;  // initialised by a load, not by the caller
    };
    static use& shared() {
        static use u;
        return u;
    }
};

std::unique_ptr<wave_sample> fail(std::string* error, std::string why) {
    if (error) *error = std::move(why);
    return nullptr;
}

// The decoding layer's messages start with the file's name; ours give the
// reason alone, for the caller to place.
std::string without_file_name(const std::string& path, std::string why) {
    const std::string prefix = path + ": ";
    if (why.compare(0, prefix.size(), prefix) == 0) why.erase(0, prefix.size());
    return why;
}

// 16-bit values appended as the resampler or the decoder delivers them, in
// one array that becomes the sample's data without a copy of the whole.
class value_buffer {
public:
    explicit value_buffer(std::size_t expected) : capacity_(std::max<std::size_t>(expected, 1)) {
        data_.reset(new std::int16_t[capacity_]);
    }
    // False when the values would pass the 4 GiB the sample record can hold.
    bool append(const double* values, std::size_t count) {
        std::int16_t* to = room(count);
        if (to == nullptr) return false;
        for (std::size_t k = 0; k < count; ++k) to[k] = audiolayer::float_to_int16(values[k]);
        size_ += count;
        return true;
    }
    // Space for `count` more values, filled by the caller and kept with
    // added(); nullptr past the 4 GiB.
    std::int16_t* room(std::size_t count) {
        if (size_ + count > std::numeric_limits<std::uint32_t>::max() / 2) return nullptr;
        if (size_ + count > capacity_) {
            const std::size_t grown = std::max(size_ + count, capacity_ + capacity_ / 2);
            std::unique_ptr<std::int16_t[]> bigger(new std::int16_t[grown]);
            std::memcpy(bigger.get(), data_.get(), size_ * sizeof(std::int16_t));
            data_ = std::move(bigger);
            capacity_ = grown;
        }
        return data_.get() + size_;
    }
    void added(std::size_t count) { size_ += count; }
    std::size_t size() const { return size_; }
    std::unique_ptr<std::int16_t[]> release() { return std::move(data_); }

private:
    std::unique_ptr<std::int16_t[]> data_;
    std::size_t size_ = 0;
    std::size_t capacity_;
};

struct sndfile_closer {
    void operator()(SNDFILE* f) const { sf_close(f); }
};
struct soxr_deleter {
    void operator()(soxr_t s) const { soxr_delete(s); }
};

using sound_file = std::unique_ptr<SNDFILE, sndfile_closer>;

// A 44100 Hz file's values as the decoding layer delivers them to velmora_bc,
// by the layer's own block reader. Read here rather than through the layer,
// whose lock would keep loads on other threads waiting for the whole decode.
// With `to_the_end`, the frames are those the decoder delivers until it
// ends, counted into facts.frames.
std::unique_ptr<wave_sample> read_16_bit(SNDFILE* file, int format, source_facts& facts, bool to_the_end,
                                         std::size_t expected_values, std::string* error) {
    const std::size_t channels = facts.channels;
    value_buffer values(to_the_end ? expected_values : facts.frames * channels);
    audiolayer::block_reader_16 reader(file, facts.channels, audiolayer::has_floating_samples(format), chunk_frames);
    std::uint64_t done = 0;
    while (to_the_end || done < facts.frames) {
        const sf_count_t want = to_the_end ? chunk_frames
                                           : static_cast<sf_count_t>(std::min<std::uint64_t>(chunk_frames, facts.frames - done));
        std::int16_t* out = values.room(static_cast<std::size_t>(want) * channels);
        if (out == nullptr) return fail(error, "longer than 4 GiB of 16-bit data");
        const std::size_t got = reader.read(out, static_cast<std::size_t>(want));
        if (got == 0) break;
        values.added(got * channels);
        done += got;
    }
    if (sf_error(file) != SF_ERR_NO_ERROR) return fail(error, sf_strerror(file));
    if (to_the_end) {
        if (done == 0) return fail(error, "no sound data");
        facts.frames = done;
    }
    if (done < facts.frames) return fail(error, "the sound data ends early");

    auto sample = std::make_unique<wave_sample>(sample_rate, facts.channels, std::vector<std::int16_t>{});
    sample->info.length = static_cast<std::uint32_t>(facts.frames * channels * 2);
    sample->data = values.release();
    return sample;
}

// With `to_the_end`, as for read_16_bit.
std::unique_ptr<wave_sample> resampled(SNDFILE* file, source_facts& facts, bool to_the_end, std::uint64_t expected_frames,
                                       std::string* error) {
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);  // one thread: the same values every time
    soxr_error_t why = nullptr;
    std::unique_ptr<soxr, soxr_deleter> resampler(
        soxr_create(facts.rate, sample_rate, facts.channels, &why, &io, &quality, &runtime));
    if (!resampler || why) return fail(error, std::string("cannot resample: ") + (why ? why : "unknown error"));

    const std::size_t channels = facts.channels;
    const double ratio = static_cast<double>(sample_rate) / facts.rate;
    const std::size_t out_frames = static_cast<std::size_t>(std::ceil(chunk_frames * ratio)) + 64;
    std::vector<double> in(static_cast<std::size_t>(chunk_frames) * channels);
    std::vector<double> out(out_frames * channels);
    const std::uint64_t frames_in = to_the_end ? expected_frames : facts.frames;
    value_buffer values(static_cast<std::size_t>(std::ceil(static_cast<double>(frames_in) * ratio) + 64) * channels);
    const std::string too_long = "longer than 4 GiB of 16-bit data";

    std::uint64_t read = 0;
    while (to_the_end || read < facts.frames) {
        const sf_count_t want = to_the_end ? chunk_frames
                                           : static_cast<sf_count_t>(std::min<std::uint64_t>(chunk_frames, facts.frames - read));
        const sf_count_t got = sf_readf_double(file, in.data(), want);
        if (got <= 0) break;
        read += static_cast<std::uint64_t>(got);
        std::size_t used = 0;
        while (used < static_cast<std::size_t>(got)) {
            std::size_t taken = 0, made = 0;
            why = soxr_process(resampler.get(), in.data() + used * channels, static_cast<std::size_t>(got) - used,
                               &taken, out.data(), out_frames, &made);
            if (why) return fail(error, std::string("cannot resample: ") + why);
            if (!values.append(out.data(), made * channels)) return fail(error, too_long);
            if (taken == 0 && made == 0) return fail(error, "the resampler stalled");
            used += taken;
        }
    }
    if (sf_error(file) != SF_ERR_NO_ERROR) return fail(error, sf_strerror(file));
    if (to_the_end) {
        if (read == 0) return fail(error, "no sound data");
        facts.frames = read;
    }
    if (read < facts.frames) return fail(error, "the sound data ends early");
    for (;;) {  // the resampler's last output, once it knows the input has ended
        std::size_t made = 0;
        why = soxr_process(resampler.get(), nullptr, 0, nullptr, out.data(), out_frames, &made);
        if (why) return fail(error, std::string("cannot resample: ") + why);
        if (made == 0) break;
        if (!values.append(out.data(), made * channels)) return fail(error, too_long);
    }

    auto sample = std::make_unique<wave_sample>(sample_rate, facts.channels, std::vector<std::int16_t>{});
    sample->info.length = static_cast<std::uint32_t>(values.size() * 2);
    sample->data = values.release();
    return sample;
}

// An MPEG file only estimates its length, and the decoding layer decodes it
// once just to count its frames before the values are read: here the one
// pass that reads the values counts them (the same values and length, half
// the decoding). The layer's other checks are about other formats.
std::unique_ptr<wave_sample> load_decoding_once(const std::string& path, SNDFILE* file, const SF_INFO& info,
                                                source_facts* facts, std::string* error) {
    if (info.channels <= 0 || info.samplerate <= 0) return fail(error, "no channels or no sampling rate");
    source_facts f{};
    f.rate = static_cast<std::uint32_t>(info.samplerate);
    f.channels = static_cast<std::uint32_t>(info.channels);
    // Room for the estimate, but never more than the file could hold at
    // ten times the tightest compression: a header must not make us allocate
    // gigabytes. The buffer grows if the estimate falls short.
    std::error_code ec;
    const std::uint64_t file_bytes = std::filesystem::file_size(path, ec);
    const std::uint64_t most_frames = ec ? 0 : file_bytes * 10 / 2 + 44100;  // frames of 16-bit mono
    const std::uint64_t expected_frames = std::min<std::uint64_t>(info.frames > 0 ? static_cast<std::uint64_t>(info.frames) : 0,
                                                                  most_frames);
    std::unique_ptr<wave_sample> sample =
        f.rate == sample_rate ? read_16_bit(file, info.format, f, true, expected_frames * f.channels, error)
                              : resampled(file, f, true, expected_frames, error);
    if (!sample) return nullptr;
    if (f.frames * f.channels * 2u > std::numeric_limits<std::uint32_t>::max())
        return fail(error, "longer than 4 GiB of 16-bit data");
    f.seconds = static_cast<double>(f.frames) / f.rate;
    if (facts) *facts = f;
    return sample;
}

}  // namespace

std::unique_ptr<wave_sample> load_at_converter_rate(const std::string& path, source_facts* facts,
                                                    std::string* error) try {
    audiolayer::opened_sound_file found = audiolayer::open_sound_file(path.c_str());
    // What the decoding layer would say of it, without opening it again.
    if (!found.file) return fail(error, found.why);
    const sound_file file(found.file);
    const SF_INFO& opened = found.info;
    if ((opened.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG)
        return load_decoding_once(path, file.get(), opened, facts, error);

    source_facts f{};
    {
        // The decoding layer checks the file as it does for velmora_bc (a
        // cut-off WAV, a header promising more than the file holds) and
        // counts frames where the format only estimates them.
        decoding_layer_in_use layer;
        const audiolayer::decode::handle h = audiolayer::decode::sample_load(path.c_str());
        audiolayer::decode::sample_info info{};
        const bool described = h != 0 && audiolayer::decode::sample_get_info(h, &info);
        const std::string why = described ? "" : without_file_name(path, audiolayer::decode::last_error());
        // The data is read below, without the layer's lock.
        if (h != 0) audiolayer::decode::sample_free(h);
        if (!described) return fail(error, why);
        f.rate = info.freq;
        f.channels = info.chans;
        f.frames = info.length / 2 / info.chans;
        f.seconds = static_cast<double>(f.frames) / f.rate;
    }
    if (facts) *facts = f;

    if (static_cast<std::uint32_t>(opened.samplerate) != f.rate || static_cast<std::uint32_t>(opened.channels) != f.channels)
        return fail(error, "the file changed while it was loaded");
    if (f.rate == sample_rate) return read_16_bit(file.get(), opened.format, f, false, 0, error);
    return resampled(file.get(), f, false, 0, error);
} catch (const std::bad_alloc&) {
    return fail(error, "not enough memory for the sound data");
}

}  // namespace converter
