#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "audiolayer/decode.hpp"
#include "support/scratch_dir.hpp"
#include "support/sound_files.hpp"

using test_support::scratch_dir;

namespace al = audiolayer::decode;

namespace {

class DecodeLayer : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(al::init(-1, 44100)); }
    void TearDown() override { al::release(); }

    // The values a loaded file delivers, or nothing when it does not load.
    std::vector<std::int16_t> load(const std::string& path, al::sample_info* info_out = nullptr) {
        const al::handle h = al::sample_load(path.c_str());
        if (h == 0) return {};
        al::sample_info info{};
        EXPECT_TRUE(al::sample_get_info(h, &info));
        if (info_out) *info_out = info;
        std::vector<std::int16_t> values(info.length / 2 + 8, 0x5A5A);
        EXPECT_TRUE(al::sample_get_data(h, values.data()));
        for (std::size_t k = info.length / 2; k < values.size(); ++k)
            EXPECT_EQ(values[k], 0x5A5A) << "written past the reported length";
        values.resize(info.length / 2);
        return values;
    }

    scratch_dir dir;
    std::vector<std::int16_t> stereo = test_sound::interleave(
        {test_sound::pulsing_tone(30000, 440.0, 3.0, 30000.0, 1), test_sound::pulsing_tone(30000, 97.0, 1.0, 20000.0, 2)});
};

}  // namespace

TEST_F(DecodeLayer, DeliversA16BitWavValueForValue) {
    test_sound::write_wav16(dir / "a.wav", 44100, 2, stereo);
    al::sample_info info{};
    EXPECT_EQ(load(dir / "a.wav", &info), stereo);
    EXPECT_EQ(info.freq, 44100u);
    EXPECT_EQ(info.chans, 2u);
    EXPECT_EQ(info.length, 30000u * 2 * 2);
}

TEST_F(DecodeLayer, KeepsTheFilesOwnRateAndChannelCount) {
    const auto mono = test_sound::pulsing_tone(4800, 1000.0, 2.0, 8000.0, 3);
    test_sound::write_wav16(dir / "m.wav", 48000, 1, mono);
    al::sample_info info{};
    EXPECT_EQ(load(dir / "m.wav", &info), mono);
    EXPECT_EQ(info.freq, 48000u);
    EXPECT_EQ(info.chans, 1u);
    const auto three = test_sound::interleave({mono, mono, mono});
    test_sound::write_wav16(dir / "t.wav", 22050, 3, three);
    EXPECT_EQ(load(dir / "t.wav", &info), three);
    EXPECT_EQ(info.chans, 3u);
}

TEST_F(DecodeLayer, WiderAndFloatingPointSamplesBecomeTheSame16BitValues) {
    // libsndfile stores 16-bit values losslessly in these formats.
    for (int format : {SF_FORMAT_WAV | SF_FORMAT_PCM_24, SF_FORMAT_WAV | SF_FORMAT_PCM_32, SF_FORMAT_WAV | SF_FORMAT_FLOAT,
                       SF_FORMAT_WAV | SF_FORMAT_DOUBLE, SF_FORMAT_FLAC | SF_FORMAT_PCM_16,
                       SF_FORMAT_AIFF | SF_FORMAT_PCM_16}) {
        test_sound::write_sound(dir / "w", format, 44100, 2, stereo);
        EXPECT_EQ(load(dir / "w"), stereo) << std::hex << format;
    }
}

TEST_F(DecodeLayer, FloatSamplesBeyondFullScaleAreClamped) {
    test_sound::write_float_wav(dir / "f.wav", 44100, 1, {0.5f, -0.5f, 1.5f, -1.5f, 1.0f, -1.0f, 0.0f});
    EXPECT_EQ(load(dir / "f.wav"), (std::vector<std::int16_t>{16384, -16384, 32767, -32768, 32767, -32768, 0}));
}

TEST_F(DecodeLayer, DecodesEightBitOggAndMp3) {
    std::vector<std::int16_t> coarse(stereo.size());
    for (std::size_t k = 0; k < stereo.size(); ++k) coarse[k] = static_cast<std::int16_t>(stereo[k] & ~0xFF);
    test_sound::write_sound(dir / "u8.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 44100, 2, coarse);
    EXPECT_EQ(load(dir / "u8.wav"), coarse);

    for (const char* name : {"a.ogg", "a.mp3"}) {
        const int format = name[2] == 'o' ? (SF_FORMAT_OGG | SF_FORMAT_VORBIS) : (SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III);
        test_sound::write_sound(dir / name, format, 44100, 2, stereo);
        al::sample_info info{};
        const auto values = load(dir / name, &info);
        EXPECT_EQ(info.freq, 44100u) << name;
        EXPECT_EQ(info.chans, 2u) << name;
        // Lossy codecs may pad a little; the sound must still be there.
        EXPECT_NEAR(static_cast<double>(values.size()), static_cast<double>(stereo.size()), 4000.0) << name;
        double energy = 0;
        for (std::int16_t v : values) energy += static_cast<double>(v) * v;
        EXPECT_GT(energy / static_cast<double>(values.size()), 1e6) << name;
    }
}

TEST_F(DecodeLayer, RefusesWhatIsNotWholeSound) {
    test_sound::write_wav16(dir / "good.wav", 44100, 2, stereo);
    const auto good = test_sound::read_bytes(dir / "good.wav");
    test_sound::write_bytes(dir / "cut.wav", std::vector<std::uint8_t>(good.begin(), good.begin() + good.size() / 2));
    test_sound::write_bytes(dir / "header.wav", std::vector<std::uint8_t>(good.begin(), good.begin() + 30));
    test_sound::write_bytes(dir / "empty.wav", {});
    test_sound::write_bytes(dir / "text.wav", {'h', 'e', 'l', 'l', 'o', '\n'});
    test_sound::write_wav16(dir / "silent.wav", 44100, 2, {});
    test_sound::write_sound(dir / "good.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 2, stereo);
    const auto flac = test_sound::read_bytes(dir / "good.flac");
    test_sound::write_bytes(dir / "cut.flac", std::vector<std::uint8_t>(flac.begin(), flac.begin() + flac.size() / 2));
    ASSERT_EQ(mkdir((dir / "folder.wav").c_str(), 0755), 0);

    for (const char* name : {"cut.wav", "header.wav", "empty.wav", "text.wav", "silent.wav", "cut.flac",
                             "folder.wav", "missing.wav"}) {
        al::sample_info info{};
        const al::handle h = al::sample_load((dir / name).c_str());
        if (h != 0) {
            // A damaged stream may only show itself while decoding.
            std::vector<std::int16_t> values(al::sample_get_info(h, &info) ? info.length / 2 : 0);
            EXPECT_FALSE(al::sample_get_data(h, values.data())) << name;
        }
        EXPECT_STRNE(al::last_error(), "") << name;
    }
    EXPECT_EQ(al::sample_load(nullptr), 0u);

    // Refused before a byte is read: a pipe would wait for a writer, a device never end.
    ASSERT_EQ(mkfifo((dir / "pipe.wav").c_str(), 0600), 0);
    ASSERT_EQ(symlink("/dev/zero", (dir / "zero.wav").c_str()), 0);
    for (const auto& [name, why] : {std::pair<const char*, const char*>{"pipe.wav", "not a regular file (a named pipe)"},
                                    {"zero.wav", "not a regular file (a character device)"},
                                    {"empty.wav", "the file is empty"}}) {
        EXPECT_EQ(al::sample_load((dir / name).c_str()), 0u) << name;
        EXPECT_EQ(al::last_error(), dir / name + ": " + why);
    }
}

// A tiny file may declare gigabytes of sound; the layer must find out before
// it reports a length anyone would allocate for.
TEST_F(DecodeLayer, ChecksAHeaderThatPromisesFarMoreThanTheFileHolds) {
    test_sound::write_sound(dir / "short.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 2, stereo);
    auto bytes = test_sound::read_bytes(dir / "short.flac");
    ASSERT_GT(bytes.size(), 26u);
    ASSERT_TRUE(std::equal(bytes.begin(), bytes.begin() + 4, "fLaC"));
    // The stream information's 36-bit sample count ends at byte 26.
    const std::uint64_t huge = 500000000;  // 2 GB of stereo 16-bit data
    bytes[21] = static_cast<std::uint8_t>((bytes[21] & 0xF0) | ((huge >> 32) & 0x0F));
    for (int k = 0; k < 4; ++k) bytes[22 + k] = static_cast<std::uint8_t>(huge >> (24 - 8 * k));
    test_sound::write_bytes(dir / "liar.flac", bytes);
    EXPECT_EQ(al::sample_load((dir / "liar.flac").c_str()), 0u);
    EXPECT_NE(std::string(al::last_error()).find("ends early"), std::string::npos) << al::last_error();

    // Near-silent lossless data really is that compact, and still loads whole.
    std::vector<std::int16_t> quiet(44100 * 2 * 10, 0);
    quiet[1000] = 5;
    test_sound::write_sound(dir / "quiet.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 2, quiet);
    struct stat st {};
    ASSERT_EQ(stat((dir / "quiet.flac").c_str(), &st), 0);
    ASSERT_GT(quiet.size() * 2, static_cast<std::size_t>(st.st_size) * 64) << "not compact enough to be counted";
    EXPECT_EQ(load(dir / "quiet.flac"), quiet);
}

TEST_F(DecodeLayer, HandlesDieWithTheLibrary) {
    test_sound::write_wav16(dir / "a.wav", 44100, 2, stereo);
    const al::handle h = al::sample_load((dir / "a.wav").c_str());
    ASSERT_NE(h, 0u);
    al::sample_info info{};
    EXPECT_FALSE(al::sample_get_info(h + 1, &info));
    EXPECT_FALSE(al::init(-1, 44100)) << "already initialised";
    ASSERT_TRUE(al::release());
    EXPECT_FALSE(al::sample_get_info(h, &info));
    EXPECT_EQ(al::sample_load((dir / "a.wav").c_str()), 0u) << "not initialised";
    ASSERT_TRUE(al::init(-1, 44100));

    // Or earlier, one by one.
    const al::handle g = al::sample_load((dir / "a.wav").c_str());
    ASSERT_NE(g, 0u);
    EXPECT_TRUE(al::sample_free(g));
    EXPECT_FALSE(al::sample_get_info(g, &info));
    EXPECT_FALSE(al::sample_free(g));
}

// A load waiting on its file (a slow disk, a long MP3 being counted) holds up
// no load on another thread, and each thread hears of its own failure.
TEST_F(DecodeLayer, ALoadWaitingOnItsFileHoldsUpNoOtherThread) {
    test_sound::write_wav16(dir / "a.wav", 44100, 2, stereo);
    test_sound::stalled_file slow(dir / "slow.wav");
    if (!slow.leased()) GTEST_SKIP() << "this file system takes no leases, so no open can be made to wait";
    al::handle stalled = 1;
    std::string stalled_error;
    std::thread waiting([&] {
        stalled = al::sample_load((dir / "slow.wav").c_str());
        stalled_error = al::last_error();
    });
    const bool opener = slow.opener_waiting();
    auto other = std::async(std::launch::async, [&] { return al::sample_load((dir / "a.wav").c_str()); });
    const bool other_done = other.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    slow.finish();
    waiting.join();
    EXPECT_TRUE(opener);
    EXPECT_TRUE(other_done) << "the load of a.wav waited for the slow file's";
    EXPECT_NE(other.get(), 0u);
    EXPECT_EQ(stalled, 0u);
    EXPECT_NE(stalled_error.find("slow.wav"), std::string::npos) << stalled_error;
    EXPECT_EQ(std::string(al::last_error()).find("slow.wav"), std::string::npos) << al::last_error();
}

namespace {

// Every value of a stream, read in blocks of `block` frames; false when a
// read failed.
bool read_stream(al::handle h, unsigned channels, std::uint32_t block, std::vector<std::int16_t>& values) {
    std::vector<std::int16_t> buffer(static_cast<std::size_t>(block) * channels);
    for (;;) {
        const long long got = al::stream_read(h, buffer.data(), block);
        if (got < 0) return false;
        if (got == 0) return true;
        values.insert(values.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(got * channels));
    }
}

}  // namespace

// A stream delivers exactly what a whole load does, block by block, in every
// format; a file whose length is only estimated tells it at its end.
TEST_F(DecodeLayer, AStreamDeliversWhatAWholeLoadDoes) {
    const std::vector<std::pair<const char*, int>> files = {
        {"a.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16},   {"a.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
        {"a.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS},   {"a.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III},
        {"f.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT}};
    for (const auto& [name, format] : files) {
        test_sound::write_sound(dir / name, format, 44100, 2, stereo);
        const std::vector<std::int16_t> whole = load(dir / name);
        ASSERT_FALSE(whole.empty()) << name;
        for (std::uint32_t block : {1u, 4096u, 44100u}) {
            const al::handle h = al::stream_open((dir / name).c_str());
            ASSERT_NE(h, 0u) << name << ": " << al::last_error();
            al::stream_info info{};
            ASSERT_TRUE(al::stream_get_info(h, &info));
            EXPECT_EQ(info.freq, 44100u);
            EXPECT_EQ(info.chans, 2u);
            const bool estimated = std::string(name).find(".mp3") != std::string::npos;
            EXPECT_EQ(info.frames, estimated ? 0u : whole.size() / 2) << name;
            std::vector<std::int16_t> values;
            EXPECT_TRUE(read_stream(h, 2, block, values)) << name << ": " << al::last_error();
            EXPECT_EQ(values, whole) << name << ", blocks of " << block;
            ASSERT_TRUE(al::stream_get_info(h, &info));
            EXPECT_EQ(info.frames, whole.size() / 2) << name << ": known at the end";
            EXPECT_EQ(al::stream_read(h, values.data(), 10), 0) << "the end stays the end";
            EXPECT_TRUE(al::sample_free(h));
        }
    }
}

// A file cut short, or a header that promises more than the file holds, is
// refused when the stream opens, before any value is read.
TEST_F(DecodeLayer, AStreamRefusesACutFileWhenItOpens) {
    test_sound::write_wav16(dir / "good.wav", 44100, 2, stereo);
    const auto wav = test_sound::read_bytes(dir / "good.wav");
    test_sound::write_bytes(dir / "cut.wav", std::vector<std::uint8_t>(wav.begin(), wav.begin() + wav.size() / 2));
    test_sound::write_sound(dir / "good.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 2, stereo);
    auto flac = test_sound::read_bytes(dir / "good.flac");
    test_sound::write_bytes(dir / "cut.flac", std::vector<std::uint8_t>(flac.begin(), flac.begin() + flac.size() / 2));
    const std::uint64_t huge = 500000000;  // the stream information's 36-bit sample count ends at byte 26
    flac[21] = static_cast<std::uint8_t>((flac[21] & 0xF0) | ((huge >> 32) & 0x0F));
    for (int k = 0; k < 4; ++k) flac[22 + k] = static_cast<std::uint8_t>(huge >> (24 - 8 * k));
    test_sound::write_bytes(dir / "liar.flac", flac);
    test_sound::write_wav16(dir / "silent.wav", 44100, 2, {});
    for (const char* name : {"cut.wav", "cut.flac", "liar.flac", "silent.wav", "missing.wav"}) {
        EXPECT_EQ(al::stream_open((dir / name).c_str()), 0u) << name;
        EXPECT_STRNE(al::last_error(), "") << name;
    }
    EXPECT_EQ(al::stream_open(nullptr), 0u);
}

TEST_F(DecodeLayer, StreamsAndWholeSamplesAreNotMixedUp) {
    test_sound::write_wav16(dir / "a.wav", 44100, 2, stereo);
    const al::handle whole = al::sample_load((dir / "a.wav").c_str());
    const al::handle stream = al::stream_open((dir / "a.wav").c_str());
    ASSERT_NE(whole, 0u);
    ASSERT_NE(stream, 0u);
    al::stream_info si{};
    al::sample_info wi{};
    std::int16_t one[2];
    EXPECT_FALSE(al::stream_get_info(whole, &si));
    EXPECT_EQ(al::stream_read(whole, one, 1), -1);
    EXPECT_FALSE(al::sample_get_info(stream, &wi));
    EXPECT_TRUE(al::sample_free(stream));
    EXPECT_TRUE(al::sample_free(whole));
}
