// The playback half of the audio layer on SDL_mixer, under the dummy audio
// driver. The mixed output is watched through SDL_mixer's post-mix hook.
#include <SDL.h>
#include <SDL_mixer.h>
#include <gtest/gtest.h>
#include <sndfile.h>

#include <atomic>
#include <cmath>
#include <string>
#include <vector>

#include "audiolayer/audiolayer.hpp"
#include "support/scratch.hpp"

namespace {

// Frame k of the ramp file holds 1000 + k: the first mixed sample tells where
// playback started.
constexpr int ramp_base = 1000;
constexpr std::uint32_t ramp_frames = 44100 * 2;

void write_with_sndfile(const std::string& path, int format) {
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 2;
    info.format = format;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << path << ": " << sf_strerror(nullptr);
    std::vector<short> frames(44100 / 2 * 2);
    for (std::size_t i = 0; i < frames.size(); ++i) frames[i] = static_cast<short>(6000 * std::sin(0.03 * i));
    sf_write_short(f, frames.data(), static_cast<sf_count_t>(frames.size()));
    sf_close(f);
}

// The first sample of the first audible buffer mixed after arm().
std::atomic<bool> armed{false};
std::atomic<int> first_sample{-1};

void watch_output(void*, Uint8* stream, int len) {
    if (!armed.load()) return;
    const auto* s = reinterpret_cast<const Sint16*>(stream);
    for (int i = 0; i < len / 2; ++i) {
        if (s[i] != 0) {
            first_sample = s[0];
            armed = false;
            return;
        }
    }
}

void arm() {
    first_sample = -1;
    armed = true;
}

int wait_for_output() {
    for (int i = 0; i < 300 && armed.load(); ++i) SDL_Delay(10);
    return first_sample.load();
}

class Playback : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(audiolayer::init(-1, 44100)) << audiolayer::last_error();
        Mix_SetPostMix(watch_output, nullptr);
        shell_test::write_wav(dir / "ramp.wav", ramp_frames, [](std::uint32_t k) { return ramp_base + k % 30000; });
    }
    void TearDown() override {
        armed = false;
        if (opened) audiolayer::release();
    }

    audiolayer::handle open_ramp() {
        const audiolayer::handle h = audiolayer::stream_create_file((dir / "ramp.wav").c_str());
        EXPECT_NE(h, 0u) << audiolayer::last_error();
        return h;
    }

    shell_test::scratch_dir dir;
    bool opened = true;
};

}  // namespace

TEST_F(Playback, OpensTheDefaultDeviceAt44100HzSixteenBitStereo) {
    int freq = 0, channels = 0;
    Uint16 format = 0;
    ASSERT_EQ(Mix_QuerySpec(&freq, &format, &channels), 1);
    EXPECT_EQ(freq, 44100);
    EXPECT_EQ(format, AUDIO_S16SYS);
    EXPECT_EQ(channels, 2);
    EXPECT_NE(SDL_WasInit(SDL_INIT_AUDIO), 0u);
}

TEST_F(Playback, SecondInitAndOtherDevicesAreRefused) {
    EXPECT_FALSE(audiolayer::init(-1, 44100));
    EXPECT_STRNE(audiolayer::last_error(), "");
    ASSERT_TRUE(audiolayer::release());
    EXPECT_FALSE(audiolayer::init(3, 44100));
    EXPECT_STRNE(audiolayer::last_error(), "");
    EXPECT_TRUE(audiolayer::init(-1, 44100)) << "a refused init leaves nothing half open";
}

TEST_F(Playback, WavOggMp3AndFlacOpenAsStreams) {
    write_with_sndfile(dir / "a.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS);
    write_with_sndfile(dir / "a.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    write_with_sndfile(dir / "a.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III);
    std::vector<audiolayer::handle> handles{open_ramp()};
    for (const char* name : {"a.ogg", "a.flac", "a.mp3"}) {
        const audiolayer::handle h = audiolayer::stream_create_file((dir / name).c_str());
        EXPECT_NE(h, 0u) << name << ": " << audiolayer::last_error();
        handles.push_back(h);
        EXPECT_TRUE(audiolayer::channel_play(h, false)) << name;
        EXPECT_EQ(Mix_PlayingMusic(), 1) << name;
        EXPECT_TRUE(audiolayer::channel_stop(h));
    }
    for (std::size_t i = 0; i < handles.size(); ++i) {
        for (std::size_t j = i + 1; j < handles.size(); ++j) EXPECT_NE(handles[i], handles[j]);
    }
}

TEST_F(Playback, MissingOrUndecodableFileGivesNoStreamAndAReason) {
    EXPECT_EQ(audiolayer::stream_create_file((dir / "missing.wav").c_str()), 0u);
    EXPECT_NE(std::string(audiolayer::last_error()).find("No such file"), std::string::npos)
        << audiolayer::last_error();

    shell_test::write_bytes(dir / "text.wav", {'n', 'o', 't', ' ', 'a', 'u', 'd', 'i', 'o', '\n'});
    EXPECT_EQ(audiolayer::stream_create_file((dir / "text.wav").c_str()), 0u);
    EXPECT_NE(std::string(audiolayer::last_error()).find("WAV"), std::string::npos) << audiolayer::last_error();

    shell_test::write_bytes(dir / "empty.ogg", {});
    EXPECT_EQ(audiolayer::stream_create_file((dir / "empty.ogg").c_str()), 0u);
    EXPECT_STREQ(audiolayer::last_error(), "the file is empty");
    EXPECT_EQ(audiolayer::stream_create_file(dir.path().c_str()), 0u) << "a folder is no music";
    EXPECT_STREQ(audiolayer::last_error(), "Is a directory");
}

TEST_F(Playback, AfterStopRewindAndPlayStartFromTheBeginningAgain) {
    const audiolayer::handle h = open_ramp();
    ASSERT_TRUE(audiolayer::channel_play(h, false));
    SDL_Delay(300);
    arm();
    EXPECT_GT(wait_for_output(), ramp_base + 1000) << "playing on, well past the start";
    ASSERT_TRUE(audiolayer::channel_stop(h));
    EXPECT_EQ(Mix_PlayingMusic(), 0);
    SDL_Delay(50);

    arm();
    ASSERT_TRUE(audiolayer::channel_set_position(h, 0));
    ASSERT_TRUE(audiolayer::channel_play(h, false));
    EXPECT_EQ(wait_for_output(), ramp_base) << "the second game hears the music from its first sample";
}

TEST_F(Playback, PlayOnAPlayingStreamCarriesOnUnlessRestarted) {
    const audiolayer::handle h = open_ramp();
    ASSERT_TRUE(audiolayer::channel_play(h, false));
    SDL_Delay(200);
    arm();
    ASSERT_TRUE(audiolayer::channel_play(h, false));
    EXPECT_GT(wait_for_output(), ramp_base + 1000);
    arm();
    ASSERT_TRUE(audiolayer::channel_set_position(h, 0));
    EXPECT_EQ(wait_for_output(), ramp_base) << "rewinding a playing stream";
}

TEST_F(Playback, OnlyPositionZeroAndLiveHandlesAreAccepted) {
    const audiolayer::handle h = open_ramp();
    EXPECT_FALSE(audiolayer::channel_set_position(h, 4));
    EXPECT_FALSE(audiolayer::channel_play(h + 1, false));
    EXPECT_FALSE(audiolayer::channel_stop(0));
    EXPECT_FALSE(audiolayer::stream_free(0));
}

TEST_F(Playback, FreeingAPlayingStreamSilencesItAndInvalidatesTheHandle) {
    const audiolayer::handle h = open_ramp();
    ASSERT_TRUE(audiolayer::channel_play(h, false));
    ASSERT_TRUE(audiolayer::stream_free(h));
    EXPECT_EQ(Mix_PlayingMusic(), 0);
    EXPECT_FALSE(audiolayer::channel_play(h, false));
    EXPECT_FALSE(audiolayer::stream_free(h));
    EXPECT_NE(open_ramp(), h) << "handles are not reused";
}

TEST_F(Playback, ReleaseAfterSdlHasShutDownIsSafe) {
    const audiolayer::handle h = open_ramp();
    ASSERT_TRUE(audiolayer::channel_play(h, false));
    SDL_Quit();  // what the window's destructor does before static objects go
    EXPECT_TRUE(audiolayer::release());
    opened = false;
    EXPECT_FALSE(audiolayer::release()) << "nothing left to release";
    EXPECT_EQ(audiolayer::stream_create_file((dir / "ramp.wav").c_str()), 0u);
}
