#pragma once
// Envelopes of made music for the server's tests: one piece, copies of it
// and other mixes of its parts.
#include <cmath>
#include <cstddef>
#include <random>
#include <string>
#include <vector>

#include "alignment/alignment.hpp"

namespace server_test {

// 40 s of mono music at 44.1 kHz after `lead_s` of silence: a kick every
// eighth at 120 bpm and a tone on some, each hit's loudness drawn from one
// seed, the tones at `tones` times their level (another mix of the parts).
inline std::string music_envelope(double lead_s, double gain, double tones) {
    constexpr int rate = 44100;
    const std::size_t lead = static_cast<std::size_t>(lead_s * rate);
    std::vector<float> v(lead + 40 * rate, 0.0f);
    std::mt19937 random(5);
    std::uniform_real_distribution<double> loud(0.3, 1.0);
    for (int j = 0; j < 160; ++j) {
        const double kick = loud(random), tone = random() % 3 == 0 ? 0.0 : loud(random) * tones;
        const double pitch = 500.0 + 100.0 * static_cast<double>(random() % 12);
        for (int n = 0; n < rate / 4; ++n) {
            const double t = static_cast<double>(n) / rate;
            const double x = kick * std::exp(-t / 0.06) * std::sin(6.283185307179586 * 60.0 * t) +
                             tone * std::exp(-t / 0.15) * std::sin(6.283185307179586 * pitch * t);
            v[lead + static_cast<std::size_t>(j) * rate / 4 + static_cast<std::size_t>(n)] += static_cast<float>(0.4 * gain * x);
        }
    }
    return alignment::encode(alignment::make_envelope(v.data(), v.size(), 1, rate));
}

}  // namespace server_test
