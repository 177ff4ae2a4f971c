// The sound effects' generator: the same bytes every time (the build's copies
// included), each a mono 16-bit 44.1 kHz sound of its length that starts and
// ends quietly and never clips.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/scratch_dir.hpp"

namespace {

std::vector<char> bytes_of(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool generate(const std::string& folder) {
    const std::string command = std::string("\"") + MAKE_SOUND_EFFECTS + "\" \"" + folder + "\"";
    return std::system(command.c_str()) == 0;
}

struct sound_case {
    const char* name;
    sf_count_t frames;
};
constexpr sound_case sounds[] = {{"graze.wav", 1323}, {"hit.wav", 8820}, {"bomb.wav", 26460}, {"chain.wav", 5292}};

}  // namespace

TEST(SoundEffects, GeneratedTheSameEveryTimeAndAsTheBuildHoldsThem) {
    test_support::scratch_dir a, b;
    ASSERT_TRUE(generate(a.path()));
    ASSERT_TRUE(generate(b.path()));
    for (const sound_case& s : sounds) {
        const std::vector<char> first = bytes_of(a / s.name);
        ASSERT_FALSE(first.empty()) << s.name;
        EXPECT_EQ(first, bytes_of(b / s.name)) << s.name;
        EXPECT_EQ(first, bytes_of(std::string(VELMORA_BUILD_DIR) + "/data/sounds/" + s.name)) << s.name;
    }
}

TEST(SoundEffects, EachIsAShortMonoSoundThatStartsAndEndsQuietlyWithHeadroom) {
    test_support::scratch_dir dir;
    ASSERT_TRUE(generate(dir.path()));
    for (const sound_case& s : sounds) {
        SF_INFO info{};
        SNDFILE* f = sf_open((dir / s.name).c_str(), SFM_READ, &info);
        ASSERT_NE(f, nullptr) << s.name << ": " << sf_strerror(nullptr);
        EXPECT_EQ(info.channels, 1) << s.name;
        EXPECT_EQ(info.samplerate, 44100) << s.name;
        EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16) << s.name;
        ASSERT_EQ(info.frames, s.frames) << s.name;
        std::vector<short> samples(static_cast<std::size_t>(info.frames));
        ASSERT_EQ(sf_readf_short(f, samples.data(), info.frames), info.frames);
        sf_close(f);
        int peak = 0;
        for (short v : samples) peak = std::max(peak, std::abs(static_cast<int>(v)));
        EXPECT_GT(peak, 32767 * 4 / 10) << s.name << " is loud enough to hear over the music";
        EXPECT_LT(peak, 32767 * 9 / 10) << s.name << " leaves headroom for the music";
        EXPECT_LT(std::abs(static_cast<int>(samples.front())), 2000) << s.name << " starts without a click";
        EXPECT_EQ(samples.back(), 0) << s.name << " ends without a click";
    }
}
