// The playback half of the audio layer under the dummy audio driver. What the
// music hook hands to the device is captured through SDL_mixer's post-mix
// hook and compared with independent decodes: the decoding half for files at
// the device's rate, a one-shot libsoxr conversion for the others.
#include <SDL.h>
#include <SDL_mixer.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <soxr.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "audiolayer/decode.hpp"
#include "audiolayer/float_to_int16.hpp"
#include "audiolayer/playback.hpp"
#include "support/output_capture.hpp"
#include "support/sound_files.hpp"
#include "support/scratch_dir.hpp"

namespace al = audiolayer::playback;

namespace {

// Frame k of the ramp file holds 1000 + k % 30000 in both channels: no
// frame is silent, and a captured value tells where playback stood.
constexpr int ramp_base = 1000;
constexpr std::uint32_t ramp_frames = 44100;

std::vector<std::int16_t> ramp_values() {
    std::vector<std::int16_t> v;
    for (std::uint32_t k = 0; k < ramp_frames; ++k)
        v.insert(v.end(), 2, static_cast<std::int16_t>(ramp_base + k % 30000));
    return v;
}

using output_capture::capture_from;
using output_capture::capture_output;
using output_capture::capturing;
using output_capture::stop_capture;

bool wait_until_done(al::handle h) {
    for (int i = 0; i < 1000 && al::channel_is_playing(h); ++i) SDL_Delay(5);
    return !al::channel_is_playing(h);
}

std::vector<std::int16_t> play_whole(al::handle h) {
    capture_from([&] { EXPECT_TRUE(al::channel_play(h, false)) << al::last_error(); });
    EXPECT_TRUE(wait_until_done(h)) << "the music runs out";
    return stop_capture();
}

// The first `values` of a capture must be the music and the rest silence.
void expect_music_then_silence(const std::vector<std::int16_t>& got, const std::vector<std::int16_t>& music,
                               const std::string& what) {
    ASSERT_GE(got.size(), music.size()) << what;
    EXPECT_TRUE(std::equal(music.begin(), music.end(), got.begin())) << what << ": the music as decoded";
    EXPECT_TRUE(std::all_of(got.begin() + static_cast<std::ptrdiff_t>(music.size()), got.end(),
                            [](std::int16_t v) { return v == 0; }))
        << what << ": silence after the end";
}

// Front left and right of the decoding half's values.
std::vector<std::int16_t> front_pair(const std::string& path, int left, int right) {
    namespace dec = audiolayer::decode;
    std::vector<std::int16_t> out;
    const dec::handle h = dec::sample_load(path.c_str());
    dec::sample_info info{};
    if (h == 0 || !dec::sample_get_info(h, &info)) return out;
    std::vector<std::int16_t> all(info.length / 2);
    if (!dec::sample_get_data(h, all.data())) return out;
    for (std::size_t k = 0; k < all.size(); k += info.chans) {
        out.push_back(all[k + static_cast<std::size_t>(left)]);
        out.push_back(all[k + static_cast<std::size_t>(right)]);
    }
    return out;
}

// The file's front pair converted to 44100 Hz in one go.
std::vector<std::int16_t> resampled_whole(const std::string& path) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) return {};
    std::vector<float> all(static_cast<std::size_t>(info.frames * info.channels));
    const sf_count_t got = sf_readf_float(f, all.data(), info.frames);
    sf_close(f);
    std::vector<float> stereo;
    for (sf_count_t k = 0; k < got; ++k) {
        const float* frame = all.data() + k * info.channels;
        stereo.push_back(frame[0]);
        stereo.push_back(frame[info.channels > 1 ? 1 : 0]);
    }
    const std::size_t out_frames =
        static_cast<std::size_t>(std::lround(static_cast<double>(got) * 44100.0 / info.samplerate));
    std::vector<float> out(2 * out_frames);
    std::size_t made = 0;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
    if (soxr_oneshot(info.samplerate, 44100, 2, stereo.data(), static_cast<std::size_t>(got), nullptr, out.data(),
                     out_frames, &made, &io, &quality, nullptr))
        return {};
    std::vector<std::int16_t> values(2 * made);
    for (std::size_t k = 0; k < values.size(); ++k) values[k] = audiolayer::float_to_int16(out[k]);
    return values;
}

class Playback : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(al::init(-1, 44100)) << al::last_error();
        ASSERT_TRUE(audiolayer::decode::init(-1, 44100));
        Mix_SetPostMix(capture_output, nullptr);
        test_sound::write_wav16(dir / "ramp.wav", 44100, 2, ramp);
    }
    void TearDown() override {
        capturing = false;
        if (opened) al::release();
        audiolayer::decode::release();
    }

    al::handle open(const std::string& name) {
        const al::handle h = al::stream_create_file((dir / name).c_str());
        EXPECT_NE(h, 0u) << name << ": " << al::last_error();
        return h;
    }

    test_support::scratch_dir dir;
    std::vector<std::int16_t> ramp = ramp_values();
    bool opened = true;
};

// A quarter of a second: long enough for several mixer buffers.
std::vector<std::int16_t> tone(int channels, std::size_t frames = 11025) {
    std::vector<std::vector<std::int16_t>> parts;
    for (int c = 0; c < channels; ++c)
        parts.push_back(test_sound::pulsing_tone(frames, 300.0 + 170.0 * c, 3.0, 9000.0 + 2000.0 * c,
                                                 static_cast<unsigned>(c + 1)));
    return test_sound::interleave(parts);
}

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
    EXPECT_FALSE(al::init(-1, 44100));
    EXPECT_STRNE(al::last_error(), "");
    ASSERT_TRUE(al::release());
    EXPECT_FALSE(al::init(3, 44100));
    EXPECT_STRNE(al::last_error(), "");
    EXPECT_TRUE(al::init(-1, 44100)) << "a refused init leaves nothing half open";
}

TEST_F(Playback, WavOggMp3AndFlacOpenAsStreams) {
    std::vector<al::handle> handles{open("ramp.wav")};
    for (const char* name : {"a.ogg", "a.flac", "a.mp3"}) {
        const int format = name[2] == 'o'   ? SF_FORMAT_OGG | SF_FORMAT_VORBIS
                           : name[2] == 'f' ? SF_FORMAT_FLAC | SF_FORMAT_PCM_16
                                            : SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
        test_sound::write_sound(dir / name, format, 44100, 2, tone(2));
        const al::handle h = open(name);
        handles.push_back(h);
        EXPECT_TRUE(al::channel_play(h, false)) << name;
        EXPECT_TRUE(al::channel_is_playing(h)) << name;
        EXPECT_TRUE(al::channel_stop(h));
        EXPECT_FALSE(al::channel_is_playing(h)) << name;
    }
    for (std::size_t i = 0; i < handles.size(); ++i) {
        for (std::size_t j = i + 1; j < handles.size(); ++j) EXPECT_NE(handles[i], handles[j]);
    }
}

// At the device's rate the device gets exactly the 16-bit values the
// converter analyses, whatever the encoding; the front pair of a file with
// more channels, both sides of a mono one.
TEST_F(Playback, EveryFormatAtTheDeviceRateIsPlayedValueForValue) {
    struct row {
        const char* name;
        int format;
        int channels;
        int left, right;
    };
    for (const row& r : {row{"16.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 0, 1},
                         row{"24.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 2, 0, 1},
                         row{"float.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2, 0, 1},
                         row{"ulaw.wav", SF_FORMAT_WAV | SF_FORMAT_ULAW, 2, 0, 1},
                         row{"a.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 2, 0, 1},
                         row{"a.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 2, 0, 1},
                         row{"a.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 2, 0, 1},
                         row{"a.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 2, 0, 1},
                         row{"mono.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 0, 0},
                         row{"three.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 3, 0, 1},
                         row{"three.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 3, 0, 2}}) {
        test_sound::write_sound(dir / r.name, r.format, 44100, r.channels, tone(r.channels));
        const auto music = front_pair(dir / r.name, r.left, r.right);
        ASSERT_GT(music.size(), 20000u) << r.name;
        const al::handle h = open(r.name);
        expect_music_then_silence(play_whole(h), music, r.name);
        al::output_clock clock{};
        ASSERT_TRUE(al::channel_get_clock(h, &clock));
        EXPECT_EQ(clock.frames, music.size() / 2) << r.name << ": every frame counted";
        EXPECT_TRUE(al::stream_free(h));
    }
}

// Other rates go through the resampler: the length scales by the rates and
// the values are those of a one-shot conversion of the whole file.
TEST_F(Playback, OtherRatesAreResampledToTheDevicesRate) {
    struct row {
        const char* name;
        int format;
        int rate;
        int channels;
    };
    for (const row& r : {row{"48k.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000, 2},
                         row{"22k_mono.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 22050, 1},
                         row{"a.opus", SF_FORMAT_OGG | SF_FORMAT_OPUS, 48000, 2}}) {
        const std::size_t frames = static_cast<std::size_t>(r.rate) / 4;
        test_sound::write_sound(dir / r.name, r.format, r.rate, r.channels, tone(r.channels, frames));
        SF_INFO info{};
        SNDFILE* f = sf_open((dir / r.name).c_str(), SFM_READ, &info);
        ASSERT_NE(f, nullptr) << r.name;
        sf_close(f);
        const auto expected = resampled_whole(dir / r.name);
        ASSERT_FALSE(expected.empty()) << r.name;
        const al::handle h = open(r.name);
        const auto got = play_whole(h);
        al::output_clock clock{};
        ASSERT_TRUE(al::channel_get_clock(h, &clock));
        EXPECT_NEAR(static_cast<double>(clock.frames), static_cast<double>(info.frames) * 44100.0 / r.rate, 1.0)
            << r.name << ": length in proportion to the rates";
        ASSERT_GE(got.size(), expected.size()) << r.name;
        int worst = 0;
        for (std::size_t k = 0; k < expected.size(); ++k) worst = std::max(worst, std::abs(got[k] - expected[k]));
        EXPECT_LE(worst, 1) << r.name << ": the same conversion as in one go";
        EXPECT_TRUE(al::stream_free(h));

        // A sample of the file sounds the stream's very values.
        const al::handle sample = al::sample_load_file((dir / r.name).c_str());
        ASSERT_NE(sample, 0u) << r.name << ": " << al::last_error();
        capture_from([&] { EXPECT_TRUE(al::sample_play(sample, 0)) << al::last_error(); });
        for (int i = 0; i < 1000 && Mix_Playing(0); ++i) SDL_Delay(5);
        const auto sampled = stop_capture();
        ASSERT_GE(sampled.size(), expected.size()) << r.name;
        EXPECT_TRUE(std::equal(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(expected.size()), sampled.begin()))
            << r.name << ": the sample as the stream plays it";
    }
}

// Rewinding a playing stream restarts it at its first frame exactly, also
// in a compressed file and through the resampler.
TEST_F(Playback, RewindWhilePlayingRestartsAtTheFirstFrame) {
    test_sound::write_sound(dir / "a.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 44100, 2, tone(2));
    test_sound::write_sound(dir / "a.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 44100, 2, tone(2));
    test_sound::write_sound(dir / "48k.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 48000, 2, tone(2, 12000));
    test_sound::write_wav16(dir / "a.wav", 44100, 2, tone(2));
    for (const char* name : {"a.wav", "a.mp3", "a.ogg", "48k.flac"}) {
        const al::handle h = open(name);
        const auto first = play_whole(h);
        al::output_clock whole{};
        ASSERT_TRUE(al::channel_get_clock(h, &whole));
        ASSERT_LE(2 * whole.frames, first.size()) << name;
        const std::vector<std::int16_t> music(first.begin(),
                                              first.begin() + static_cast<std::ptrdiff_t>(2 * whole.frames));

        const auto played_at = std::chrono::steady_clock::now().time_since_epoch();
        ASSERT_TRUE(al::channel_play(h, false));
        SDL_Delay(120);
        al::output_clock mid{};
        ASSERT_TRUE(al::channel_get_clock(h, &mid));
        EXPECT_GT(mid.frames, 0u) << name;
        // The hand-over time is on the frame clock's clock, after the start.
        EXPECT_GE(mid.handed_at_us, std::chrono::duration_cast<std::chrono::microseconds>(played_at).count()) << name;
        EXPECT_LE(mid.handed_at_us, std::chrono::duration_cast<std::chrono::microseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count())
            << name;
        capture_from([&] { EXPECT_TRUE(al::channel_set_position(h, 0)) << name; });
        al::output_clock rewound{};
        ASSERT_TRUE(al::channel_get_clock(h, &rewound));
        EXPECT_LT(rewound.frames, mid.frames) << name << ": the count starts again";
        EXPECT_EQ(rewound.frames == 0, rewound.handed_at_us == 0) << name << ": no time without a count";
        ASSERT_TRUE(wait_until_done(h)) << name;
        expect_music_then_silence(stop_capture(), music, name);
        EXPECT_TRUE(al::stream_free(h));
    }
}

// Damage met while playing ends the music there: no noise, no hang.
TEST_F(Playback, ACutFileEndsWhereItsDataEnds) {
    test_sound::write_sound(dir / "whole.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 2, tone(2));
    const auto whole = test_sound::read_bytes(dir / "whole.flac");
    test_sound::write_bytes(dir / "cut.flac",
                            std::vector<std::uint8_t>(whole.begin(), whole.begin() + whole.size() / 2));
    const al::handle h = open("cut.flac");
    const auto got = play_whole(h);
    al::output_clock clock{};
    ASSERT_TRUE(al::channel_get_clock(h, &clock));
    EXPECT_LT(clock.frames, tone(2).size() / 2);
    EXPECT_GT(clock.frames, tone(2).size() / 8) << "what is there is played";
    const auto music = front_pair(dir / "whole.flac", 0, 1);
    const std::size_t heard = std::min<std::size_t>(2 * clock.frames, got.size());
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(heard), music.begin()));
}

// A sample is read as a stream is, so it refuses the same files with the same reasons.
TEST_F(Playback, MissingOrUndecodableFileGivesNoStreamOrSampleAndAReason) {
    test_sound::write_bytes(dir / "text.wav", {'n', 'o', 't', ' ', 'a', 'u', 'd', 'i', 'o', '\n'});
    test_sound::write_bytes(dir / "empty.ogg", {});
    ASSERT_EQ(mkfifo((dir / "pipe.ogg").c_str(), 0600), 0);
    ASSERT_EQ(symlink("/dev/zero", (dir / "zero.wav").c_str()), 0);
    for (al::handle (*open_file)(const char*) : {al::stream_create_file, al::sample_load_file}) {
        EXPECT_EQ(open_file((dir / "missing.wav").c_str()), 0u);
        EXPECT_NE(std::string(al::last_error()).find("No such file"), std::string::npos) << al::last_error();
        EXPECT_EQ(open_file((dir / "text.wav").c_str()), 0u);
        EXPECT_EQ(std::string(al::last_error()).rfind("not a sound file that can be decoded (", 0), 0u)
            << al::last_error();
        EXPECT_EQ(open_file((dir / "empty.ogg").c_str()), 0u);
        EXPECT_STREQ(al::last_error(), "the file is empty");
        EXPECT_EQ(open_file(dir.path().c_str()), 0u) << "a folder is no music";
        EXPECT_STREQ(al::last_error(), "Is a directory");
        EXPECT_EQ(open_file((dir / "pipe.ogg").c_str()), 0u) << "opening a pipe would wait for a writer";
        EXPECT_STREQ(al::last_error(), "not a regular file (a named pipe)");
        EXPECT_EQ(open_file((dir / "zero.wav").c_str()), 0u);
        EXPECT_STREQ(al::last_error(), "not a regular file (a character device)");
    }
}

TEST_F(Playback, AfterStopRewindAndPlayStartFromTheBeginningAgain) {
    const al::handle h = open("ramp.wav");
    ASSERT_TRUE(al::channel_play(h, false));
    SDL_Delay(300);
    capture_from([] {});
    SDL_Delay(100);
    const auto playing = stop_capture();
    ASSERT_FALSE(playing.empty());
    EXPECT_GT(playing.front(), ramp_base + 1000) << "playing on, well past the start";
    ASSERT_TRUE(al::channel_stop(h));
    EXPECT_FALSE(al::channel_is_playing(h));
    capture_from([] {});
    SDL_Delay(100);
    const auto stopped = stop_capture();
    EXPECT_TRUE(std::all_of(stopped.begin(), stopped.end(), [](std::int16_t v) { return v == 0; }));

    capture_from([&] {
        ASSERT_TRUE(al::channel_set_position(h, 0));
        ASSERT_TRUE(al::channel_play(h, false));
    });
    SDL_Delay(100);
    const auto again = stop_capture();
    ASSERT_FALSE(again.empty());
    EXPECT_EQ(again.front(), ramp_base) << "the second game hears the music from its first sample";
}

TEST_F(Playback, PlayOnAPlayingStreamCarriesOnUnlessRestarted) {
    const al::handle h = open("ramp.wav");
    ASSERT_TRUE(al::channel_play(h, false));
    SDL_Delay(200);
    capture_from([&] { ASSERT_TRUE(al::channel_play(h, false)); });
    SDL_Delay(100);
    auto got = stop_capture();
    ASSERT_FALSE(got.empty());
    EXPECT_GT(got.front(), ramp_base + 1000);
    capture_from([&] { ASSERT_TRUE(al::channel_play(h, true)); });
    SDL_Delay(100);
    got = stop_capture();
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.front(), ramp_base) << "restarted";
}

// Pausing freezes the music and its count; playing again resumes where it
// stood, so nothing is lost or heard twice.
TEST_F(Playback, PauseHoldsThePlaceAndPlayResumesIt) {
    const al::handle h = open("ramp.wav");
    EXPECT_FALSE(al::channel_pause(h)) << "nothing plays yet";
    capture_from([&] { ASSERT_TRUE(al::channel_play(h, false)); });
    SDL_Delay(150);
    ASSERT_TRUE(al::channel_pause(h));
    EXPECT_FALSE(al::channel_is_playing(h));
    al::output_clock at_pause{}, later{};
    ASSERT_TRUE(al::channel_get_clock(h, &at_pause));
    SDL_Delay(150);
    ASSERT_TRUE(al::channel_get_clock(h, &later));
    EXPECT_EQ(later.frames, at_pause.frames);
    ASSERT_TRUE(al::channel_play(h, false));
    ASSERT_TRUE(wait_until_done(h));
    auto got = stop_capture();
    const auto silent = std::count(got.begin(), got.end(), std::int16_t{0});
    EXPECT_GT(silent, 2 * 2048) << "a paused stream is silent";
    got.erase(std::remove(got.begin(), got.end(), std::int16_t{0}), got.end());
    EXPECT_EQ(got, ramp);
}

// Room for following the music's clock: frames handed over, the mixer's
// buffer between them and the speaker, the device's rate.
TEST_F(Playback, TheClockCountsFramesHandedToTheDevice) {
    const al::handle h = open("ramp.wav");
    al::output_clock clock{};
    ASSERT_TRUE(al::channel_get_clock(h, &clock));
    EXPECT_EQ(clock.frames, 0u);
    EXPECT_EQ(clock.latency_frames, 2048u);
    EXPECT_EQ(clock.rate, 44100u);
    const Uint32 t0 = SDL_GetTicks();
    ASSERT_TRUE(al::channel_play(h, false));
    SDL_Delay(400);
    ASSERT_TRUE(al::channel_get_clock(h, &clock));
    const double seconds = (SDL_GetTicks() - t0) / 1000.0;
    // Handed over ahead of time by at most a few buffers, behind by at most one.
    EXPECT_GT(static_cast<double>(clock.frames), (seconds - 0.1) * 44100.0);
    EXPECT_LT(static_cast<double>(clock.frames), (seconds + 0.2) * 44100.0);
    EXPECT_FALSE(al::channel_get_clock(h + 1, &clock));
    EXPECT_FALSE(al::channel_get_clock(h, nullptr));
}

TEST_F(Playback, VolumeScalesTheMusicLinearly) {
    EXPECT_EQ(al::volume(), 100);
    EXPECT_FALSE(al::set_volume(101));
    EXPECT_FALSE(al::set_volume(-1));
    EXPECT_EQ(al::volume(), 100) << "a refused volume changes nothing";
    test_sound::write_wav16(dir / "tone.wav", 44100, 2, tone(2));
    const al::handle h = open("tone.wav");
    for (int percent : {50, 0}) {
        ASSERT_TRUE(al::set_volume(percent));
        EXPECT_EQ(al::volume(), percent);
        auto music = tone(2);
        for (auto& v : music) v = static_cast<std::int16_t>(v * percent / 100);
        expect_music_then_silence(play_whole(h), music, std::to_string(percent) + "%");
    }
    ASSERT_TRUE(al::release());
    ASSERT_TRUE(al::init(-1, 44100));
    EXPECT_EQ(al::volume(), 100) << "a new output starts at full volume";
}

// A stream holds a few blocks whatever the song's length.
TEST_F(Playback, AStreamHoldsTheSameSmallBuffersForAnyLength) {
    const auto second = tone(2, 44100);
    std::vector<std::int16_t> minute;
    for (int k = 0; k < 60; ++k) minute.insert(minute.end(), second.begin(), second.end());
    for (int rate : {44100, 48000}) {
        test_sound::write_sound(dir / "short.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, rate, 2, second);
        test_sound::write_sound(dir / "long.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, rate, 2, minute);
        const al::handle a = open("short.flac"), b = open("long.flac");
        EXPECT_GT(al::stream_buffer_bytes(a), 0u);
        EXPECT_EQ(al::stream_buffer_bytes(a), al::stream_buffer_bytes(b)) << rate;
        EXPECT_LT(al::stream_buffer_bytes(b), 256u * 1024) << rate;
        al::stream_free(a);
        al::stream_free(b);
    }
    EXPECT_EQ(al::stream_buffer_bytes(0), 0u);
}

TEST_F(Playback, OnlyPositionZeroAndLiveHandlesAreAccepted) {
    const al::handle h = open("ramp.wav");
    EXPECT_FALSE(al::channel_set_position(h, 4));
    EXPECT_FALSE(al::channel_play(h + 1, false));
    EXPECT_FALSE(al::channel_stop(0));
    EXPECT_FALSE(al::stream_free(0));
}

TEST_F(Playback, FreeingAPlayingStreamSilencesItAndInvalidatesTheHandle) {
    const al::handle h = open("ramp.wav");
    ASSERT_TRUE(al::channel_play(h, false));
    capture_from([&] { ASSERT_TRUE(al::stream_free(h)); });
    SDL_Delay(100);
    const auto after = stop_capture();
    ASSERT_FALSE(after.empty());
    EXPECT_TRUE(std::all_of(after.begin(), after.end(), [](std::int16_t v) { return v == 0; }));
    EXPECT_FALSE(al::channel_play(h, false));
    EXPECT_FALSE(al::stream_free(h));
    EXPECT_NE(open("ramp.wav"), h) << "handles are not reused";
}

TEST_F(Playback, ReleaseAfterSdlHasShutDownIsSafe) {
    const al::handle h = open("ramp.wav");
    ASSERT_TRUE(al::channel_play(h, false));
    SDL_Quit();  // what the window's destructor does before static objects go
    EXPECT_TRUE(al::release());
    opened = false;
    EXPECT_FALSE(al::release()) << "nothing left to release";
    EXPECT_EQ(al::stream_create_file((dir / "ramp.wav").c_str()), 0u);
}

// A stream opened on another thread starts where it was moved to, its first
// frames rising from silence, then plays on value for value.
TEST_F(Playback, ADetachedStreamStartsWhereItWasMovedToAndFadesIn) {
    constexpr std::uint32_t fade = 4410;
    constexpr std::size_t start = ramp_frames * 2 / 5;
    al::detached_open opened_there;
    std::thread([&] { opened_there = al::open_detached((dir / "ramp.wav").c_str(), 0.4); }).join();
    ASSERT_TRUE(opened_there.stream) << opened_there.error;
    EXPECT_EQ(opened_there.length_frames, ramp_frames);
    EXPECT_EQ(opened_there.file_rate, 44100u);
    const al::handle h = al::stream_adopt(std::move(opened_there.stream));
    ASSERT_NE(h, 0u) << al::last_error();
    EXPECT_FALSE(al::channel_is_playing(h)) << "adopted stopped";
    capture_from([&] { EXPECT_TRUE(al::channel_play_fading_in(h, fade)); });
    ASSERT_TRUE(wait_until_done(h));
    const auto got = stop_capture();
    std::vector<std::int16_t> expected(ramp.begin() + 2 * start, ramp.end());
    for (std::size_t k = 0; k < 2 * fade; ++k)
        expected[k] = static_cast<std::int16_t>(expected[k] * static_cast<std::int64_t>(k / 2) / fade);
    expect_music_then_silence(got, expected, "from 40%, faded in");

    capture_from([&] { ASSERT_TRUE(al::channel_play(h, false)); });
    ASSERT_TRUE(wait_until_done(h));
    expect_music_then_silence(stop_capture(), ramp, "played again: from the start, no fade");
}

// Compressed and resampled files start near the same place; a file that
// cannot be opened says why, and nothing is adopted.
TEST_F(Playback, DetachedOpensOfOtherFormatsAndFailures) {
    test_sound::write_sound(dir / "a.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 44100, 2, tone(2, 44100));
    test_sound::write_sound(dir / "48k.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 48000, 2, tone(2, 48000));
    for (const char* name : {"a.mp3", "48k.flac"}) {
        auto o = al::open_detached((dir / name).c_str(), 0.5);
        ASSERT_TRUE(o.stream) << name << ": " << o.error;
        const al::handle h = al::stream_adopt(std::move(o.stream));
        ASSERT_TRUE(al::channel_play_fading_in(h, 0));
        ASSERT_TRUE(wait_until_done(h)) << name;
        al::output_clock clock{};
        ASSERT_TRUE(al::channel_get_clock(h, &clock));
        EXPECT_NEAR(static_cast<double>(clock.frames), 22050.0, 2000.0) << name << ": the second half";
    }
    auto missing = al::open_detached((dir / "missing.wav").c_str(), 0.4);
    EXPECT_FALSE(missing.stream);
    EXPECT_EQ(missing.error, "No such file or directory");
    EXPECT_EQ(al::stream_adopt(nullptr), 0u);
    ASSERT_TRUE(al::release());
    opened = false;
    EXPECT_EQ(al::open_detached((dir / "ramp.wav").c_str(), 0.4).error, "the audio output is not open");
}
