#include "gametask/rng.hpp"

#include <ctime>

std::uint32_t rng_seed_from_clock() {
    const auto now = static_cast<std::int64_t>(std::time(nullptr));
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(now));
}
