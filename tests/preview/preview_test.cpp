// The preview under the dummy audio driver: when the chosen row's song
// sounds, from where, and that leaving the row silences it or drops it
// unheard. Times are handed in, so only the worker's opening runs on the
// real clock.
#include <SDL.h>
#include <SDL_mixer.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "audiolayer/playback.hpp"
#include "preview/preview.hpp"
#include "support/output_capture.hpp"
#include "support/scratch_dir.hpp"
#include "support/sound_files.hpp"

namespace pb = audiolayer::playback;

namespace {

// Frame k holds 1000 + k % 30000 in both channels: a captured value tells
// where playback stood.
constexpr std::uint32_t song_frames = 3 * 44100;
std::int16_t song_value(std::uint32_t k) { return static_cast<std::int16_t>(1000 + k % 30000); }

using output_capture::capture_from;
using output_capture::capture_output;
using output_capture::stop_capture;

class Preview : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pb::init(-1, 44100)) << pb::last_error();
        Mix_SetPostMix(capture_output, nullptr);
        std::vector<std::int16_t> v;
        for (std::uint32_t k = 0; k < song_frames; ++k) v.insert(v.end(), 2, song_value(k));
        test_sound::write_wav16(dir / "a.wav", 44100, 2, v);
        test_sound::write_wav16(dir / "b.wav", 44100, 2, v);
    }
    void TearDown() override {
        output_capture::capturing = false;
        pb::release();
    }

    // Runs updates at now_ms until the chosen song is opened (the worker's
    // real time), at most two seconds.
    void wait_until_ready(std::uint32_t now_ms) {
        for (int i = 0; i < 400 && !p.ready() && p.error().empty(); ++i) {
            p.update(now_ms);
            SDL_Delay(5);
        }
    }

    test_support::scratch_dir dir;
    preview::player p;
};

}  // namespace

TEST_F(Preview, SoundsHalfASecondAfterTheRowFromFortyPercentFadingIn) {
    p.set_volume(100);
    p.select(dir / "a.wav", 1000);
    p.update(1100);
    SDL_Delay(300);
    p.update(1140);
    EXPECT_FALSE(p.ready()) << "not opened before the row settles";
    wait_until_ready(1499);
    ASSERT_TRUE(p.ready()) << p.error();
    EXPECT_FALSE(p.playing()) << "not yet due";

    capture_from([&] { p.update(1500); });
    ASSERT_TRUE(p.playing());
    EXPECT_EQ(p.playing_path(), dir / "a.wav");
    EXPECT_TRUE(pb::channel_is_playing(p.stream()));
    SDL_Delay(1000);
    const auto got = stop_capture();
    const std::uint32_t start = song_frames * 2 / 5, fade = 44100 * 800 / 1000;
    ASSERT_GT(got.size(), 2u * fade + 2);
    EXPECT_EQ(got[0], 0) << "faded in from silence";
    EXPECT_LT(got[2 * (fade / 2)], song_value(start + fade / 2)) << "still fading";
    EXPECT_EQ(got[2 * fade], song_value(start + fade)) << "from 40%, at full level after the fade";
}

TEST_F(Preview, MovingOnSilencesItAtOnceAndAStaleOpenIsNeverHeard) {
    p.select(dir / "a.wav", 0);
    p.update(150);
    wait_until_ready(499);
    p.update(500);
    ASSERT_TRUE(p.playing()) << p.error();
    const pb::handle first = p.stream();
    p.select(dir / "b.wav", 600);
    EXPECT_FALSE(p.playing());
    EXPECT_FALSE(pb::channel_is_playing(first)) << "stopped in the same call";

    p.update(750);  // b is asked for, then left for a again before it sounds
    p.select(dir / "a.wav", 760);
    wait_until_ready(1000);
    p.update(1260);
    ASSERT_TRUE(p.playing());
    EXPECT_EQ(p.playing_path(), dir / "a.wav");
    p.select(dir / "a.wav", 1300);
    EXPECT_TRUE(p.playing()) << "the same row again changes nothing";
    p.stop();
    EXPECT_FALSE(p.playing());
    p.update(5000);
    EXPECT_FALSE(p.playing()) << "stopped until another row is chosen";
}

TEST_F(Preview, ASongThatCannotBeOpenedStaysSilentAndSaysWhy) {
    p.select(dir / "missing.wav", 0);
    wait_until_ready(200);
    p.update(600);
    EXPECT_FALSE(p.playing());
    EXPECT_EQ(p.error(), "No such file or directory");
    p.set_volume(40);
    p.select(dir / "b.wav", 700);
    wait_until_ready(900);
    p.update(1200);
    ASSERT_TRUE(p.playing()) << p.error();
    EXPECT_EQ(pb::volume(), 40) << "the saved volume";
}
