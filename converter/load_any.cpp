#include "converter/load_any.hpp"

#include <sndfile.h>
#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <vector>

#include "audiolayer/audiolayer.hpp"

namespace converter {

namespace {

constexpr sf_count_t chunk_frames = 16384;

// The decoding layer keeps one process-wide state that a load needs
// initialised. When the caller has not initialised it, the load does and
// releases it afterwards, which also closes the file it opened there.
class decoding_layer_in_use {
public:
    decoding_layer_in_use() : lock_(mutex()), owned_(audiolayer::init(-1, sample_rate)) {}
    ~decoding_layer_in_use() {
        if (owned_) audiolayer::release();
    }
    decoding_layer_in_use(const decoding_layer_in_use&) = delete;
    decoding_layer_in_use& operator=(const decoding_layer_in_use&) = delete;

private:
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    std::lock_guard<std::mutex> lock_;
    bool owned_;
};

std::unique_ptr<wave_sample> fail(std::string* error, std::string why) {
    if (error) *error = std::move(why);
    return nullptr;
}

std::int16_t to_16_bit(double x) {
    if (!(x == x)) return 0;
    const double v = x * 32768.0;
    if (v >= 32767.0) return 32767;
    if (v <= -32768.0) return -32768;
    return static_cast<std::int16_t>(std::lrint(v));  // the default rounding: nearest, ties to even
}

// 16-bit values appended as the resampler delivers them, in one array that
// becomes the sample's data without a copy of the whole.
class value_buffer {
public:
    explicit value_buffer(std::size_t expected) : capacity_(std::max<std::size_t>(expected, 1)) {
        data_.reset(new std::int16_t[capacity_]);
    }
    // False when the values would pass the 4 GiB the sample record can hold.
    bool append(const double* values, std::size_t count) {
        if (size_ + count > std::numeric_limits<std::uint32_t>::max() / 2) return false;
        if (size_ + count > capacity_) {
            const std::size_t grown = std::max(size_ + count, capacity_ + capacity_ / 2);
            std::unique_ptr<std::int16_t[]> bigger(new std::int16_t[grown]);
            std::memcpy(bigger.get(), data_.get(), size_ * sizeof(std::int16_t));
            data_ = std::move(bigger);
            capacity_ = grown;
        }
        for (std::size_t k = 0; k < count; ++k) data_[size_ + k] = to_16_bit(values[k]);
        size_ += count;
        return true;
    }
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

std::unique_ptr<wave_sample> resampled(const std::string& path, const source_facts& facts, std::string* error) {
    SF_INFO info{};
    std::unique_ptr<SNDFILE, sndfile_closer> file(sf_open(path.c_str(), SFM_READ, &info));
    if (!file) return fail(error, path + ": " + sf_strerror(nullptr));
    if (static_cast<std::uint32_t>(info.samplerate) != facts.rate ||
        static_cast<std::uint32_t>(info.channels) != facts.channels)
        return fail(error, path + ": the file changed while it was loaded");

    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);  // one thread: the same values every time
    soxr_error_t why = nullptr;
    std::unique_ptr<soxr, soxr_deleter> resampler(
        soxr_create(facts.rate, sample_rate, facts.channels, &why, &io, &quality, &runtime));
    if (!resampler || why) return fail(error, path + ": cannot resample: " + (why ? why : "unknown error"));

    const std::size_t channels = facts.channels;
    const double ratio = static_cast<double>(sample_rate) / facts.rate;
    const std::size_t out_frames = static_cast<std::size_t>(std::ceil(chunk_frames * ratio)) + 64;
    std::vector<double> in(static_cast<std::size_t>(chunk_frames) * channels);
    std::vector<double> out(out_frames * channels);
    value_buffer values(static_cast<std::size_t>(std::ceil(static_cast<double>(facts.frames) * ratio) + 64) * channels);
    const std::string too_long = path + ": longer than 4 GiB of 16-bit data";

    std::uint64_t read = 0;
    for (;;) {
        const sf_count_t got = sf_readf_double(file.get(), in.data(), chunk_frames);
        if (got <= 0) break;
        read += static_cast<std::uint64_t>(got);
        std::size_t used = 0;
        while (used < static_cast<std::size_t>(got)) {
            std::size_t taken = 0, made = 0;
            why = soxr_process(resampler.get(), in.data() + used * channels, static_cast<std::size_t>(got) - used,
                               &taken, out.data(), out_frames, &made);
            if (why) return fail(error, path + ": cannot resample: " + why);
            if (!values.append(out.data(), made * channels)) return fail(error, too_long);
            if (taken == 0 && made == 0) return fail(error, path + ": the resampler stalled");
            used += taken;
        }
    }
    if (sf_error(file.get()) != SF_ERR_NO_ERROR) return fail(error, path + ": " + sf_strerror(file.get()));
    if (read < facts.frames) return fail(error, path + ": the sound data ends early");
    for (;;) {  // the resampler's last output, once it knows the input has ended
        std::size_t made = 0;
        why = soxr_process(resampler.get(), nullptr, 0, nullptr, out.data(), out_frames, &made);
        if (why) return fail(error, path + ": cannot resample: " + why);
        if (made == 0) break;
        if (!values.append(out.data(), made * channels)) return fail(error, too_long);
    }

    auto sample = std::make_unique<wave_sample>(sample_rate, facts.channels, std::vector<std::int16_t>{});
    sample->info.length = static_cast<std::uint32_t>(values.size() * 2);
    sample->data = values.release();
    return sample;
}

}  // namespace

std::unique_ptr<wave_sample> load_at_converter_rate(const std::string& path, source_facts* facts,
                                                    std::string* error) try {
    source_facts f{};
    {
        // The decoding layer checks the file as it does for velmora_bc (a
        // cut-off WAV, a header promising more than the file holds) and
        // counts frames where the format only estimates them.
        decoding_layer_in_use layer;
        const audiolayer::handle h = audiolayer::sample_load(path.c_str());
        audiolayer::sample_info info{};
        if (h == 0 || !audiolayer::sample_get_info(h, &info)) return fail(error, audiolayer::last_error());
        f.rate = info.freq;
        f.channels = info.chans;
        f.frames = info.length / 2 / info.chans;
        f.seconds = static_cast<double>(f.frames) / f.rate;
        if (facts) *facts = f;

        if (info.freq == sample_rate) {
            // The steps of wave_sample(path), on the file already loaded.
            auto sample = std::make_unique<wave_sample>(sample_rate, info.chans, std::vector<std::int16_t>{});
            sample->handle = h;
            sample->info = info;
            sample->data.reset(new (std::nothrow) std::int16_t[info.length / 2]);
            if (!sample->data) return fail(error, path + ": not enough memory for the sound data");
            if (!audiolayer::sample_get_data(h, sample->data.get())) return fail(error, audiolayer::last_error());
            return sample;
        }
    }
    return resampled(path, f, error);
} catch (const std::bad_alloc&) {
    return fail(error, path + ": not enough memory for the sound data");
}

}  // namespace converter
