#pragma once
// Test sources: generated signals and sound files written with libsndfile.
#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace test_sound {

constexpr double two_pi = 6.283185307179586476925;

inline std::int16_t clamp16(double v) {
    const long r = std::lround(v);
    return static_cast<std::int16_t>(r > 32767 ? 32767 : (r < -32768 ? -32768 : r));
}

// A tone whose loudness pulses `rate` times a second, plus a little noise.
inline std::vector<std::int16_t> pulsing_tone(std::size_t frames, double carrier_hz, double rate, double amplitude,
                                              unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> noise(-200.0, 200.0);
    std::vector<std::int16_t> v(frames);
    for (std::size_t n = 0; n < frames; ++n) {
        const double t = static_cast<double>(n) / 44100.0;
        const double envelope = 0.5 + 0.5 * std::cos(two_pi * rate * t);
        v[n] = clamp16(amplitude * envelope * std::sin(two_pi * carrier_hz * t) + noise(gen));
    }
    return v;
}

// A tone that repeats exactly every 735 samples, so every game frame of
// every second holds the same values.
inline std::vector<std::int16_t> frame_periodic_tone(std::size_t frames, double hz, double amplitude) {
    std::vector<std::int16_t> v(frames);
    for (std::size_t n = 0; n < frames; ++n)
        v[n] = clamp16(amplitude * std::sin(two_pi * hz * static_cast<double>(n % 735) / 44100.0));
    return v;
}

inline std::vector<std::int16_t> interleave(const std::vector<std::vector<std::int16_t>>& channels) {
    std::vector<std::int16_t> out;
    const std::size_t frames = channels.at(0).size();
    out.reserve(frames * channels.size());
    for (std::size_t n = 0; n < frames; ++n)
        for (const auto& c : channels) out.push_back(c.at(n));
    return out;
}

// Something like music, in stereo: a plucked note every 150 ms over a bass
// note every 600 ms, each decaying, pitches from `seed`, so two seeds are two
// recordings. Steady tones would not do: a fingerprint and an onset envelope
// follow changes.
inline std::vector<std::int16_t> melody(unsigned seed, int seconds, int rate) {
    std::mt19937 random(seed);
    std::vector<std::int16_t> values;
    const int note_frames = rate * 15 / 100, bass_frames = rate * 6 / 10;
    double note = 440, bass = 110;
    for (int n = 0; n < seconds * rate; ++n) {
        if (n % note_frames == 0) note = 220.0 * std::pow(2.0, static_cast<double>(random() % 24) / 12.0);
        if (n % bass_frames == 0) bass = 55.0 * std::pow(2.0, static_cast<double>(random() % 12) / 12.0);
        const double t_note = static_cast<double>(n % note_frames) / rate, t_bass = static_cast<double>(n % bass_frames) / rate;
        const double v = 9000 * std::exp(-t_note * 12) * std::sin(two_pi * note * n / rate) +
                         7000 * std::exp(-t_bass * 3) * std::sin(two_pi * bass * n / rate);
        values.push_back(clamp16(v));
        values.push_back(clamp16(v));
    }
    return values;
}

// Writes interleaved 16-bit values in the given libsndfile format.
inline void write_sound(const std::string& path, int format, int rate, int channels,
                        const std::vector<std::int16_t>& values) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) throw std::runtime_error(path + ": " + sf_strerror(nullptr));
    const sf_count_t frames = static_cast<sf_count_t>(values.size() / static_cast<std::size_t>(channels));
    sf_count_t written;
    const int subtype = format & SF_FORMAT_SUBMASK;
    if (subtype == SF_FORMAT_FLOAT || subtype == SF_FORMAT_DOUBLE) {
        // Floating-point files hold full scale as 1.0.
        std::vector<float> scaled(values.size());
        for (std::size_t k = 0; k < values.size(); ++k) scaled[k] = static_cast<float>(values[k]) / 32768.0f;
        written = sf_writef_float(f, scaled.data(), frames);
    } else {
        written = sf_writef_short(f, values.data(), frames);
    }
    sf_close(f);
    if (written != frames) throw std::runtime_error(path + ": short write");
}

inline void write_wav16(const std::string& path, int rate, int channels, const std::vector<std::int16_t>& values) {
    write_sound(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, rate, channels, values);
}

inline void write_float_wav(const std::string& path, int rate, int channels, const std::vector<float>& values) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) throw std::runtime_error(path + ": " + sf_strerror(nullptr));
    sf_writef_float(f, values.data(), static_cast<sf_count_t>(values.size() / static_cast<std::size_t>(channels)));
    sf_close(f);
}

inline std::vector<std::uint8_t> read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_bytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A regular file whose opening waits: while the write lease taken here is
// held, an open of the file elsewhere waits for it (for the kernel's lease
// break time at most, 45 s by default). Once opener_waiting() has said so, a
// load is stuck in that open until finish(); the file is not sound, so the
// load then fails. leased() is false where the file system takes no leases.
class stalled_file {
public:
    explicit stalled_file(const std::string& path) {
        write_bytes(path, {'n', 'o', 't', ' ', 's', 'o', 'u', 'n', 'd'});
        // A waiting open is told to the holder by SIGIO, which would end the process.
        std::signal(SIGIO, SIG_IGN);
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ >= 0 && ::fcntl(fd_, F_SETLEASE, F_WRLCK) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~stalled_file() { finish(); }
    stalled_file(const stalled_file&) = delete;
    stalled_file& operator=(const stalled_file&) = delete;

    bool leased() const { return fd_ >= 0; }

    // A waiting open turns the lease into one being broken. False after 20 s
    // without one.
    bool opener_waiting() {
        for (int tries = 0; fd_ >= 0 && tries < 2000; ++tries) {
            if (::fcntl(fd_, F_GETLEASE) != F_WRLCK) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    void finish() {
        if (fd_ < 0) return;
        ::fcntl(fd_, F_SETLEASE, F_UNLCK);
        ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

}  // namespace test_sound
