#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <vector>

#include "converter/analysis.hpp"
#include "kernel_sets.hpp"
#include "reference.hpp"
#include "support/sound_files.hpp"

using converter::analysis;
using converter::channel_view;

namespace {

void expect_matches_reference(const std::vector<std::int16_t>& values, unsigned channels, unsigned ch,
                              unsigned second) {
    analysis an;
    an.run(channel_view{values.data(), values.size() / channels, channels, ch}, second);
    const auto want = reference::analyse(values.data(), channels, ch, second);
    for (int M = 0; M < 512; ++M)
        for (int l = 0; l < 32; ++l)
            ASSERT_EQ(reference::bits(an.magnitude(M, l)), reference::bits(want[M][l]))
                << "channel " << ch << " second " << second << " bin " << M << " l " << l;
}

int count_bursts(const analysis& an) {
    int n = 0;
    for (int M = 0; M < 512; ++M)
        for (int l = 0; l < 32; ++l) n += converter::is_burst(an.magnitude(M, l));
    return n;
}

}  // namespace

TEST(Analysis, EqualsThePlainComputationBitForBit) {
    with_each_kernel_set([] {
        const std::size_t frames = 3 * 44100;
        const auto stereo = test_sound::interleave({test_sound::pulsing_tone(frames, 1500.0, 7.0, 12000.0, 1),
                                                    test_sound::pulsing_tone(frames, 440.0, 3.0, 20000.0, 2)});
        expect_matches_reference(stereo, 2, 0, 0);
        expect_matches_reference(stereo, 2, 1, 2);

        const auto three = test_sound::interleave({test_sound::pulsing_tone(2 * 44100, 900.0, 11.0, 30000.0, 3),
                                                   test_sound::pulsing_tone(2 * 44100, 5000.0, 2.0, 9000.0, 4),
                                                   test_sound::pulsing_tone(2 * 44100, 200.0, 5.0, 9000.0, 5)});
        expect_matches_reference(three, 3, 1, 1);
    });
}

TEST(Analysis, SilenceGivesNoMagnitudes) {
    std::vector<std::int16_t> silence(2 * 44100 * 2, 0);
    analysis an;
    an.run(channel_view{silence.data(), 2 * 44100, 2, 1}, 1);
    for (int M = 0; M < 512; ++M)
        for (int l = 0; l < 32; ++l) ASSERT_EQ(an.magnitude(M, l), 0.0f);
}

// Identical frames give identical spectra; summed in double, the mean of 64
// equal magnitudes is each of them, so nothing is left to normalise.
TEST(Analysis, SteadyTonesGiveNoBursts) {
    for (double hz : {60.0, 600.0, 1260.0, 6000.0}) {
        const auto tone = test_sound::frame_periodic_tone(2 * 44100, hz, 25000.0);
        analysis an;
        for (unsigned s = 0; s < 2; ++s) {
            an.run(channel_view{tone.data(), tone.size(), 1, 0}, s);
            EXPECT_EQ(count_bursts(an), 0) << hz << " Hz, second " << s;
        }
    }
}

TEST(Analysis, PulsingToneBurstsNearItsPulseRateInItsOwnBand) {
    // 3000 Hz sits near bin 3000 * 1024 / 44100 = 69.7; pulsing 8 times a
    // second over 64 frames of 1/60 s puts the modulation near bin 8.5.
    const auto tone = test_sound::pulsing_tone(44100, 3000.0, 8.0, 30000.0, 9);
    analysis an;
    an.run(channel_view{tone.data(), tone.size(), 1, 0}, 0);
    EXPECT_TRUE(converter::is_burst(an.magnitude(70, 8)) || converter::is_burst(an.magnitude(70, 9)));
    for (int M = 200; M < 512; ++M)
        for (int l = 1; l < 32; ++l)
            EXPECT_LT(an.magnitude(M, l), an.magnitude(70, 8) + an.magnitude(70, 9)) << M << " " << l;
}

TEST(Analysis, RefusesASecondPastTheDeliveredFrames) {
    std::vector<std::int16_t> values(2 * 44100 - 2, 0);  // one frame short of a whole second
    analysis an;
    EXPECT_THROW(an.run(channel_view{values.data(), values.size() / 2, 2, 0}, 0), std::out_of_range);
    std::vector<std::int16_t> one(44100, 0);
    EXPECT_NO_THROW(an.run(channel_view{one.data(), one.size(), 1, 0}, 0));
    EXPECT_THROW(an.run(channel_view{one.data(), one.size(), 1, 0}, 1), std::out_of_range);
    EXPECT_THROW(an.run(channel_view{one.data(), one.size(), 1, 1}, 0), std::out_of_range);
}

TEST(BurstTest, ThresholdIsTruncationOfSingleThreePointFiveM) {
    const float edge = static_cast<float>(1.0 / 3.5);  // 3.5 * edge rounds to 1
    EXPECT_TRUE(converter::is_burst(edge));
    EXPECT_FALSE(converter::is_burst(std::nextafter(edge, 0.0f)));
    EXPECT_FALSE(converter::is_burst(0.0f));
    EXPECT_TRUE(converter::is_burst(2.0f));
    EXPECT_TRUE(converter::is_burst(0.3f));
    EXPECT_FALSE(converter::is_burst(0.28f));
}
