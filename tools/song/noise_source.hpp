#pragma once
#include <cstdint>

namespace song {

// A fixed-seed generator. Each drum restarts it with its own seed on every
// hit, so all hits of one drum are identical, as from a sampler: a steady
// rhythm then pulses cleanly instead of smearing into random flicker.
class noise_source {
public:
    explicit noise_source(std::uint32_t seed) : state_(seed ? seed : 0x9e3779b9u) {}
    double next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return static_cast<double>(state_) / 2147483648.0 - 1.0;
    }

private:
    std::uint32_t state_;
};

}  // namespace song
