#pragma once
#include <cstdint>
#include <random>

// The game's one random engine: standard MT19937 with its standard seeding,
// seeded once from the clock before any other static object is built.
extern std::mt19937 rng;

// The clock value the engine is seeded with: seconds since 1970, low 32 bits.
std::uint32_t rng_seed_from_clock();
