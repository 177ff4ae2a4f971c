#include "tools/song/song.hpp"

#include "tools/song/dynamics_song.hpp"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr int rate = song::sample_rate;
constexpr int frame = rate / 60;  // the converter's analysis frame: 735 samples

std::int16_t at(const std::vector<std::int16_t>& s, int channel, long n) { return s[2 * n + channel]; }

// Every pitch of the pad is a multiple of 30 Hz, so a second in which nothing
// else sounds repeats exactly every two analysis frames; that is what makes
// the converter fire nothing there.
bool steady(const std::vector<std::int16_t>& s, int channel, int second) {
    const long first = static_cast<long>(second) * rate;
    for (long n = first; n + 2 * frame < first + rate; ++n) {
        if (at(s, channel, n) != at(s, channel, n + 2 * frame)) return false;
    }
    return true;
}

// One letter a second: B both channels steady, L only the left, R only the
// right, '-' neither.
std::string steadiness_map(const std::vector<std::int16_t>& s) {
    std::string map;
    for (int second = 0; second < static_cast<int>(s.size() / 2 / rate); ++second) {
        const bool l = steady(s, 0, second), r = steady(s, 1, second);
        map += l && r ? 'B' : l ? 'L' : r ? 'R' : '-';
    }
    return map;
}

const std::vector<std::int16_t>& full_song() {
    static const std::vector<std::int16_t> s = song::render(0);
    return s;
}

std::string temp_path(const char* name) {
    return (testing::TempDir() + "song_test_" + std::to_string(getpid()) + "_" + name);
}

}  // namespace

TEST(Song, FullSongIsSeventyTwoSecondsOfStereoWithHeadroom) {
    const auto& s = full_song();
    ASSERT_EQ(s.size(), static_cast<std::size_t>(72) * rate * 2);
    int peak = 0;
    for (const std::int16_t v : s) peak = std::max(peak, std::abs(static_cast<int>(v)));
    EXPECT_GT(peak, 28000);  // loud enough to hear
    EXPECT_LT(peak, 30000);  // and never clipped
}

TEST(Song, RenderingIsDeterministic) {
    EXPECT_EQ(song::render(0), full_song());
    EXPECT_EQ(song::render(5), song::render(5));
}

TEST(Song, SectionsAlternateBetweenSteadyAndPulsingChannels) {
    const std::string expected = std::string("BBBB")           // intro: pad only
                                 + "RRRR"                      // arpeggio on the left only
                                 + std::string(16, '-')        // verse
                                 + "-" + std::string(7, 'L')   // break: lead on the right, after the verse's echo dies
                                 + std::string(16, '-')        // chorus
                                 + "-" + std::string(7, 'R')   // bridge: arpeggio on the left
                                 + std::string(12, '-')        // chorus
                                 + "--"                        // outro: crash
                                 + "BB";                       // silence
    EXPECT_EQ(steadiness_map(full_song()), expected);
}

TEST(Song, EndsInSilence) {
    const auto& s = full_song();
    for (long n = 70L * rate; n < 72L * rate; ++n) {
        ASSERT_EQ(at(s, 0, n), 0) << n;
        ASSERT_EQ(at(s, 1, n), 0) << n;
    }
}

TEST(Song, EveryBeatOfTheVerseStartsWithAKick) {
    const auto& s = full_song();
    const long window = rate / 50;  // 20 ms
    auto loudness = [&](long from) {
        long sum = 0;
        for (long n = from; n < from + window; ++n) sum += std::abs(at(s, 0, n)) + std::abs(at(s, 1, n));
        return sum;
    };
    for (int beat = 16; beat < 48; ++beat) {  // 8 s to 24 s, two beats a second
        const long onset = static_cast<long>(beat) * rate / 2;
        EXPECT_GT(loudness(onset), 2 * loudness(onset - window)) << "beat at " << beat / 2.0 << " s";
    }
}

TEST(Song, ShortSongIsBusyFromTheStartAndFadesOut) {
    const auto s = song::render(8);
    ASSERT_EQ(s.size(), static_cast<std::size_t>(8) * rate * 2);
    EXPECT_EQ(steadiness_map(s), "--------");
    EXPECT_EQ(at(s, 0, 8L * rate - 1), 0);
    EXPECT_EQ(at(s, 1, 8L * rate - 1), 0);
    EXPECT_NE(s, std::vector<std::int16_t>(s.size(), 0));
}

// The alternating song is the full song, loud, 25 dB down and silent in turns.
TEST(Song, AlternatingSongIsTheSongLoudQuietAndSilentInTurns) {
    namespace a = song::alternating_sections;
    const auto alternating = song::render_alternating();
    const auto& s = full_song();
    ASSERT_EQ(alternating.size(), s.size());
    const double quiet = std::pow(10.0, a::quiet_db / 20.0);
    for (std::size_t n = 0; n < s.size(); n += 7) {
        const std::size_t second = n / 2 / rate % a::cycle;
        const double want = second < a::loud ? s[n] : second < a::loud + a::quiet ? std::lround(s[n] * quiet) : 0;
        ASSERT_EQ(alternating[n], want) << "value " << n;
    }
}

TEST(SongWav, RoundTripsThroughLibsndfile) {
    const auto s = song::render(2);
    const std::string path = temp_path("roundtrip.wav");
    std::string error;
    ASSERT_TRUE(song::write_wav(path, s, error)) << error;

    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(info.samplerate, 44100);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    ASSERT_EQ(info.frames, 2 * rate);
    std::vector<std::int16_t> back(s.size());
    EXPECT_EQ(sf_readf_short(f, back.data(), info.frames), info.frames);
    sf_close(f);
    std::remove(path.c_str());
    EXPECT_EQ(back, s);
}

TEST(SongWav, UnwritablePathFailsWithAReasonAndLeavesNoFile) {
    const std::string path = temp_path("missing_dir") + "/song.wav";
    std::string error;
    EXPECT_FALSE(song::write_wav(path, song::render(1), error));
    EXPECT_FALSE(error.empty());
    EXPECT_NE(access(path.c_str(), F_OK), 0);
}
