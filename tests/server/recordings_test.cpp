// Which fingerprints are one recording: bit error rate under 10% at the
// best alignment over enough overlap, whatever the shift; text that is not
// a fingerprint is none.
#include <gtest/gtest.h>

#include <chromaprint.h>

#include <random>

#include "alignment/alignment.hpp"
#include "made_music.hpp"
#include "server/recordings.hpp"

namespace {

std::vector<std::uint32_t> random_items(std::size_t n, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<std::uint32_t> v(n);
    for (auto& x : v) x = random();
    return v;
}

// `share` of the bits of every item flipped, spread evenly.
std::vector<std::uint32_t> with_flipped_bits(std::vector<std::uint32_t> v, double share, unsigned seed) {
    std::mt19937 random(seed);
    const std::size_t flips = static_cast<std::size_t>(share * 32.0 * static_cast<double>(v.size()));
    std::vector<std::size_t> bits(v.size() * 32);
    for (std::size_t i = 0; i < bits.size(); ++i) bits[i] = i;
    std::shuffle(bits.begin(), bits.end(), random);
    for (std::size_t k = 0; k < flips; ++k) v[bits[k] / 32] ^= 1u << (bits[k] % 32);
    return v;
}

std::vector<std::uint32_t> shifted(const std::vector<std::uint32_t>& v, std::size_t by, unsigned seed) {
    std::vector<std::uint32_t> out = random_items(by, seed);
    out.insert(out.end(), v.begin(), v.end());
    return out;
}

TEST(Recordings, MatchesTheSameSoundShiftedOrDistortedAndNothingElse) {
    const std::vector<std::uint32_t> song = random_items(1500, 1);
    const struct {
        const char* what;
        std::vector<std::uint32_t> other;
        bool same;
    } rows[] = {
        {"itself", song, true},
        {"5% of bits differ", with_flipped_bits(song, 0.05, 2), true},
        {"9% of bits differ", with_flipped_bits(song, 0.09, 3), true},
        {"12% of bits differ", with_flipped_bits(song, 0.12, 4), false},
        {"starting 5 s later", shifted(song, 40, 5), true},
        {"the first half only", std::vector<std::uint32_t>(song.begin(), song.begin() + 750), true},
        {"shifted past the search", shifted(song, server::shift_items + 5, 6), false},
        {"another song", random_items(1500, 7), false},
        {"too short to tell", std::vector<std::uint32_t>(song.begin(), song.begin() + server::overlap_items - 1), false},
        {"empty", {}, false},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(server::same_recording(song, r.other), r.same) << r.what;
        EXPECT_EQ(server::same_recording(r.other, song), r.same) << r.what << ", the other way";
    }
}

// Stages whose fingerprints match are told apart only when both envelopes
// keep their bands' levels and line up as another mix.
TEST(Recordings, AnotherMixOfOnePieceIsNotTheSameRecording) {
    const std::string song = server_test::music_envelope(0, 1, 1);
    std::string without_levels = server_test::music_envelope(0, 1, 0.3);
    without_levels = alignment::encode({alignment::decode(without_levels)->values, {}});
    const struct {
        const char* what;
        std::string theirs;
        bool same;
    } rows[] = {
        {"a copy 6 dB quieter after 0.7 s of silence", server_test::music_envelope(0.7, 0.5, 1), true},
        {"the tones 10 dB down", server_test::music_envelope(0, 1, 0.3), false},
        {"the tones 10 dB down, after 0.3 s of silence", server_test::music_envelope(0.3, 1, 0.3), false},
        {"the tones 10 dB down, its envelope made before levels were kept", without_levels, true},
        {"no envelope", "", true},
        {"not an envelope", "VEN2 and some bytes", true},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(server::same_mix(song, r.theirs), r.same) << r.what;
        EXPECT_EQ(server::same_mix(r.theirs, song), r.same) << r.what << ", the other way";
    }
}

TEST(Recordings, ReadsChromaprintTextAndRefusesOtherText) {
    const std::vector<std::uint32_t> song = random_items(300, 9);
    char* text = nullptr;
    int size = 0;
    ASSERT_TRUE(chromaprint_encode_fingerprint(song.data(), static_cast<int>(song.size()), CHROMAPRINT_ALGORITHM_DEFAULT,
                                               &text, &size, 1));
    const std::optional<std::vector<std::uint32_t>> back = server::decode_fingerprint(std::string(text, size));
    chromaprint_dealloc(text);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, song);
    for (const char* bad : {"", "!!!", "AQAA", "' OR 1=1 --"})
        EXPECT_FALSE(server::decode_fingerprint(bad).has_value()) << bad;
    EXPECT_FALSE(server::decode_fingerprint(std::string(20000, 'A')).has_value());
}

}  // namespace
