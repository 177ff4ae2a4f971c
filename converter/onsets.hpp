#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace converter {

// The moments a listener hears: the song's onsets and its beats, found by
// aubio's peak picker and beat tracker on the high-frequency content of
// log-compressed spectra (log(1 + magnitude), as aubio's own onset detector
// weighs them by default), all computed by our own transform
// (converter/onset_fft.hpp) and arithmetic, so that they are the same on any
// machine: aubio's own phase vocoder goes through an FFT library that picks
// its code by processor at run time, and is never used here.
//
// Fed with a mono mix at 44100 Hz in pieces of any size, in order; the
// times are in samples from the first one fed. Frames of 512 values (11.6
// ms), one every 256 (5.8 ms), as aubioonset reads them: the whole band,
// whose highs weigh most in the high-frequency content. At half the rate
// (until stage format 8) some onsets were ones that program does not
// hear, or hears up to 100 ms off.
class onset_finder {
public:
    onset_finder();
    ~onset_finder();
    onset_finder(const onset_finder&) = delete;
    onset_finder& operator=(const onset_finder&) = delete;

    // Values in -1..1.
    void add(const float* mono, std::size_t n);
    // The same without a copy: room for the next n values, which the
    // caller writes before calling added.
    float* room(std::size_t n);
    void added();

    struct onset {
        std::int64_t sample;
        float strength;  // the detection function at its peak
    };
    // After the last add: the onsets (at least 50 ms apart) and the beats, in order.
    const std::vector<onset>& onsets() const { return onsets_; }
    const std::vector<std::int64_t>& beats() const { return beats_; }

    static constexpr std::size_t rate = 44100;
    static constexpr std::size_t window = 512;
    static constexpr std::size_t hop = 256;

private:
    // The high-frequency content and powers of the next count frames of signal_.
    void frame_spectra(std::size_t count);
    // One frame's onsets and beats, in the order of the frames.
    void read_frame(std::size_t c);
    struct aubio_state;
    std::unique_ptr<aubio_state> aubio_;
    std::vector<float> signal_;  // the values not yet framed, after the window's overlap
    std::size_t filled_ = window - hop, coming_ = 0;  // values in signal_, and being written
    std::vector<double> powers_;  // each frame's new hop's mean square
    std::vector<float> re_, im_;
    std::vector<float> sums_;  // per lane, the content of the frames in the real and the imaginary parts
    std::vector<float> contents_;  // the piece's frames' high-frequency content
    std::vector<onset> onsets_;
    std::vector<std::int64_t> beats_;
};

}  // namespace converter
