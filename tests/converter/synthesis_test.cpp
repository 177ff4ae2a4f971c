#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "converter/synthesis.hpp"
#include "reference.hpp"

using converter::burst_record;
using converter::edition;

namespace {

std::vector<std::int32_t> ticks(edition ed, std::int32_t base, int l) {
    std::vector<std::int32_t> t;
    for (int i = 0; i <= l; ++i) t.push_back(burst_record(ed, base, 0, 10, l, i, 0.5f, 0.0f).time);
    return t;
}

float from_bits(std::uint32_t u) {
    float f;
    std::memcpy(&f, &u, 4);
    return f;
}

}  // namespace

TEST(BurstRecords, TicksSpreadEvenlyOverTheSecond) {
    for (edition ed : {edition::standard, edition::zetaflux}) {
        EXPECT_EQ(ticks(ed, 120, 0), (std::vector<std::int32_t>{120}));
        EXPECT_EQ(ticks(ed, 120, 1), (std::vector<std::int32_t>{120, 150}));
        const std::vector<std::int32_t> offsets = {0,  1,  3,  5,  7,  9,  11, 13, 15, 16, 18, 20, 22, 24, 26, 28,
                                                   30, 31, 33, 35, 37, 39, 41, 43, 45, 46, 48, 50, 52, 54, 56, 58};
        std::vector<std::int32_t> want;
        for (std::int32_t o : offsets) want.push_back(180 + o);
        EXPECT_EQ(ticks(ed, 180, 31), want);
    }
}

TEST(BurstRecords, StandardAnglesSweepEachChannelsHalf) {
    const edition s = edition::standard;
    EXPECT_EQ(reference::bits(burst_record(s, 0, 0, 0, 0, 0, 0.5f, 0).angle), 0xBFC90FDBu);  // -pi/2
    EXPECT_EQ(reference::bits(burst_record(s, 0, 0, 256, 0, 0, 0.5f, 0).angle), 0u);         // +0
    EXPECT_EQ(reference::bits(burst_record(s, 0, 1, 0, 0, 0, 0.5f, 0).angle), 0x3FC90FDBu);  // pi/2
    EXPECT_EQ(reference::bits(burst_record(s, 0, 1, 256, 0, 0, 0.5f, 0).angle), 0x40490FDBu);  // pi
    // One angle for every record of a standard burst.
    for (int i = 0; i <= 5; ++i)
        EXPECT_EQ(burst_record(s, 60, 1, 300, 5, i, 0.4f, 0).angle, burst_record(s, 60, 1, 300, 5, 0, 0.4f, 0).angle);
}

TEST(BurstRecords, ZetafluxFansABurstOverHalfATurn) {
    const edition z = edition::zetaflux;
    // Record 0 keeps the standard angle, in both channels.
    EXPECT_EQ(reference::bits(burst_record(z, 0, 0, 0, 0, 0, 0.5f, 0).angle), 0xBFC90FDBu);
    EXPECT_EQ(reference::bits(burst_record(z, 0, 0, 256, 3, 0, 0.5f, 0).angle), 0u);
    EXPECT_EQ(reference::bits(burst_record(z, 0, 1, 0, 7, 0, 0.5f, 0).angle), 0x3FC90FDBu);
    // l = 1: the second record is a quarter turn past the first.
    EXPECT_EQ(reference::bits(burst_record(z, 0, 0, 0, 1, 1, 0.5f, 0).angle), 0u);
    EXPECT_EQ(reference::bits(burst_record(z, 0, 1, 0, 1, 1, 0.5f, 0).angle), 0x40490FDBu);
    // l = 3: steps of pi/4 from -pi/2.
    EXPECT_FLOAT_EQ(burst_record(z, 0, 0, 0, 3, 3, 0.5f, 0).angle, from_bits(0x3F490FDBu));  // pi/4
}

TEST(BurstRecords, SpeedIsTwoAndAHalfTimesTheMagnitudeInBothEditions) {
    for (float m : {static_cast<float>(1.0 / 3.5), 0.4f, 1.0f, 1.9999999f, 2.0000002f}) {
        const float want = static_cast<float>(static_cast<double>(m) * 2.5);
        EXPECT_EQ(burst_record(edition::standard, 0, 0, 1, 0, 0, m, 0).speed, want);
        EXPECT_EQ(burst_record(edition::zetaflux, 0, 0, 1, 0, 0, m, 0).speed, want);
    }
    EXPECT_EQ(burst_record(edition::standard, 0, 0, 1, 0, 0, 0.4f, 0).speed, 1.0f);
}

TEST(BurstRecords, MatchAnIndependentReadingOfTheFormulas) {
    std::mt19937 gen(5);
    std::uniform_int_distribution<int> bin(0, 511), ch(0, 1), l(0, 31), second(0, 400);
    std::uniform_real_distribution<float> m(0.28f, 2.0f);
    for (int n = 0; n < 20000; ++n) {
        const int s = second(gen), c = ch(gen), M = bin(gen), ll = l(gen);
        const int i = std::uniform_int_distribution<int>(0, ll)(gen);
        const float mag = m(gen);
        for (bool z : {false, true}) {
            const auto got = burst_record(z ? edition::zetaflux : edition::standard, 60 * s, c, M, ll, i, mag, 0.0f);
            const auto want = reference::record(z, s, c, M, ll, i, mag);
            ASSERT_EQ(got.time, want.time);
            ASSERT_EQ(reference::bits(got.angle), reference::bits(want.angle)) << z << " " << c << " " << M << " " << ll << " " << i;
            ASSERT_EQ(reference::bits(got.speed), reference::bits(want.speed));
        }
    }
}
