#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "audiolayer/decode.hpp"
#include "converter/load_any.hpp"
#include "support/sound_files.hpp"
#include "support/scratch_dir.hpp"

using converter::load_at_converter_rate;
using converter::source_facts;
using converter::wave_sample;

namespace {

std::vector<std::int16_t> values_of(const wave_sample& w) { return {w.data.get(), w.data.get() + w.value_count()}; }

std::size_t open_file_count() {
    std::size_t n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d)) ++n;
        closedir(d);
    }
    return n;
}

std::vector<double> tone(std::size_t frames, int rate, double hz, double amplitude) {
    std::vector<double> v(frames);
    for (std::size_t n = 0; n < frames; ++n) v[n] = amplitude * std::sin(test_sound::two_pi * hz * n / rate);
    return v;
}

void write_doubles(const std::string& path, int format, int rate, const std::vector<std::vector<double>>& channels) {
    std::vector<double> interleaved;
    for (std::size_t n = 0; n < channels[0].size(); ++n)
        for (const auto& c : channels) interleaved.push_back(c[n]);
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = static_cast<int>(channels.size());
    info.format = format;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    // Values beyond full scale must reach a float file as they are.
    sf_command(f, SFC_SET_CLIPPING, nullptr, SF_FALSE);
    EXPECT_EQ(sf_writef_double(f, interleaved.data(), static_cast<sf_count_t>(channels[0].size())),
              static_cast<sf_count_t>(channels[0].size()));
    sf_close(f);
}

// Sign changes of channel `ch` over one second from frame `from`.
int zero_crossings(const wave_sample& w, unsigned ch, std::size_t from) {
    int count = 0;
    for (std::size_t n = from + 1; n <= from + 44100; ++n)
        count += (w.data[(n - 1) * w.info.chans + ch] < 0) != (w.data[n * w.info.chans + ch] < 0);
    return count;
}

}  // namespace

TEST(LoadAtConverterRate, Delivers44100HzFilesAsTheConverterLoadsThem) {
    test_support::scratch_dir dir;
    const auto stereo = test_sound::interleave({test_sound::pulsing_tone(50000, 440.0, 3.0, 30000.0, 1),
                                                test_sound::pulsing_tone(50000, 97.0, 1.0, 20000.0, 2)});
    const std::vector<std::pair<std::string, int>> files = {{"a.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16},
                                                            {"b.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24},
                                                            {"c.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT},
                                                            {"d.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
                                                            {"e.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III},
                                                            {"f.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS}};
    for (const auto& [name, format] : files) test_sound::write_sound(dir / name, format, 44100, 2, stereo);

    std::vector<std::vector<std::int16_t>> wanted;
    for (const auto& [name, format] : files) {
        std::vector<std::int16_t> want;
        {
            ASSERT_TRUE(audiolayer::decode::init(-1, 44100));
            const wave_sample direct((dir / name).c_str());
            ASSERT_FALSE(direct.failed) << name;
            want = values_of(direct);
            // With the layer initialised by the caller, too, which may load
            // many files: none is left open.
            const std::size_t open_files = open_file_count();
            const auto loaded = load_at_converter_rate(dir / name, nullptr, nullptr);
            ASSERT_TRUE(loaded) << name;
            EXPECT_EQ(values_of(*loaded), want) << name;
            EXPECT_EQ(open_file_count(), open_files) << name;
            audiolayer::decode::release();
        }
        source_facts facts{};
        std::string error;
        const auto loaded = load_at_converter_rate(dir / name, &facts, &error);
        ASSERT_TRUE(loaded) << name << ": " << error;
        EXPECT_EQ(values_of(*loaded), want) << name;
        EXPECT_EQ(loaded->info.freq, 44100u);
        EXPECT_EQ(loaded->info.chans, 2u);
        EXPECT_EQ(facts.rate, 44100u);
        EXPECT_EQ(facts.channels, 2u);
        EXPECT_EQ(facts.frames, want.size() / 2);
        wanted.push_back(want);
    }
    EXPECT_EQ(wanted[0], stereo);

    // Loads on several threads at once give the same values.
    std::vector<std::vector<std::int16_t>> together(files.size());
    std::vector<std::thread> loaders;
    for (std::size_t k = 0; k < files.size(); ++k)
        loaders.emplace_back([&, k] {
            if (const auto w = load_at_converter_rate(dir / files[k].first, nullptr, nullptr)) together[k] = values_of(*w);
        });
    for (std::thread& t : loaders) t.join();
    EXPECT_EQ(together, wanted);
}

TEST(LoadAtConverterRate, ResamplesOtherRatesKeepingLengthAndPitch) {
    test_support::scratch_dir dir;
    struct row {
        const char* name;
        int format;
        int rate;
        std::size_t frames;
        double amplitude;  // full scale is 1
    };
    const std::vector<row> rows = {
        {"48k.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000, 3 * 48000 + 123, 0.5},
        {"22k.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 22050, 3 * 22050 + 7, 0.7},
        {"96k.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 96000, 3 * 96000, 0.9},
        {"loud.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 48000, 3 * 48000, 1.5},  // clipped, not wrapped
    };
    for (const row& r : rows) {
        write_doubles(dir / r.name, r.format, r.rate,
                      {tone(r.frames, r.rate, 1000.0, r.amplitude), tone(r.frames, r.rate, 3000.0, r.amplitude / 2)});
        source_facts facts{};
        std::string error;
        const auto w = load_at_converter_rate(dir / r.name, &facts, &error);
        ASSERT_TRUE(w) << r.name << ": " << error;
        EXPECT_EQ(facts.rate, static_cast<std::uint32_t>(r.rate)) << r.name;
        EXPECT_EQ(facts.channels, 2u);
        EXPECT_EQ(facts.frames, r.frames);
        EXPECT_DOUBLE_EQ(facts.seconds, static_cast<double>(r.frames) / r.rate);
        EXPECT_EQ(w->info.freq, 44100u);
        EXPECT_EQ(w->info.chans, 2u);
        const double want_frames = static_cast<double>(r.frames) * 44100.0 / r.rate;
        EXPECT_LE(std::abs(static_cast<double>(w->frame_count()) - want_frames), 1.0) << r.name;

        EXPECT_NEAR(zero_crossings(*w, 0, 44100), 2000, 2) << r.name;
        EXPECT_NEAR(zero_crossings(*w, 1, 44100), 6000, 2) << r.name;
        std::int16_t lo = 0, hi = 0;
        for (std::size_t n = 44100; n < 2 * 44100; ++n) {
            lo = std::min(lo, w->data[2 * n]);
            hi = std::max(hi, w->data[2 * n]);
        }
        const double peak = std::min(r.amplitude * 32768.0, 32767.0);
        EXPECT_NEAR(hi, peak, peak * 0.01) << r.name;
        EXPECT_NEAR(lo, -std::min(r.amplitude * 32768.0, 32768.0), peak * 0.01) << r.name;

        const auto again = load_at_converter_rate(dir / r.name, nullptr, nullptr);
        ASSERT_TRUE(again);
        EXPECT_EQ(values_of(*again), values_of(*w)) << r.name << ": the same file must give the same values";
    }
}

// An MP3 only estimates its length; the one pass that reads it counts it, to
// the frame the decoding layer (velmora_bc's loader) counts, at any rate.
TEST(LoadAtConverterRate, AnMp3HasTheLengthTheDecodingLayerCounts) {
    test_support::scratch_dir dir;
    for (const int rate : {44100, 48000}) {
        const std::string path = dir / ("song" + std::to_string(rate) + ".mp3");
        write_doubles(path, SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, rate,
                      {tone(3 * rate + 77, rate, 1000.0, 0.5), tone(3 * rate + 77, rate, 3000.0, 0.25)});
        ASSERT_TRUE(audiolayer::decode::init(-1, 44100));
        const audiolayer::decode::handle h = audiolayer::decode::sample_load(path.c_str());
        audiolayer::decode::sample_info info{};
        ASSERT_TRUE(h != 0 && audiolayer::decode::sample_get_info(h, &info)) << audiolayer::decode::last_error();
        audiolayer::decode::release();
        const std::uint64_t counted = info.length / 2 / info.chans;

        source_facts facts{};
        std::string error;
        const auto w = load_at_converter_rate(path, &facts, &error);
        ASSERT_TRUE(w) << rate << ": " << error;
        EXPECT_EQ(facts.frames, counted) << rate;
        EXPECT_EQ(facts.rate, static_cast<std::uint32_t>(rate));
        EXPECT_DOUBLE_EQ(facts.seconds, static_cast<double>(counted) / rate);
        EXPECT_LE(std::abs(static_cast<double>(w->frame_count()) - counted * 44100.0 / rate), 1.0) << rate;
        EXPECT_NEAR(zero_crossings(*w, 1, 44100), 6000, 2) << rate;
    }
}

TEST(LoadAtConverterRate, FailsOnWhatIsNotSoundWithAReason) {
    test_support::scratch_dir dir;
    test_sound::write_bytes(dir / "notes.txt", std::vector<std::uint8_t>(500, 'a'));
    test_sound::write_bytes(dir / "empty.flac", {});
    // A download cut off: the first third of a 48000 Hz WAV.
    test_sound::write_wav16(dir / "cut.wav", 48000, 1, std::vector<std::int16_t>(48000, 1000));
    auto bytes = test_sound::read_bytes(dir / "cut.wav");
    bytes.resize(bytes.size() / 3);
    test_sound::write_bytes(dir / "cut.wav", bytes);
    for (const std::string& path : {dir / "notes.txt", dir / "empty.flac", dir / "cut.wav", dir / "missing.wav",
                                    dir.path()}) {
        std::string error;
        EXPECT_EQ(load_at_converter_rate(path, nullptr, &error), nullptr) << path;
        EXPECT_FALSE(error.empty()) << path;
        EXPECT_EQ(error.find(path), std::string::npos) << error;
    }
    // Said plainly, where libsndfile would guess at a pipe; a real pipe is never opened.
    test_sound::write_bytes(dir / "empty.mp3", {});
    ASSERT_EQ(mkfifo((dir / "pipe.mp3").c_str(), 0600), 0);
    for (const auto& [name, why] : {std::pair<const char*, const char*>{"empty.mp3", "the file is empty"},
                                    {"pipe.mp3", "not a regular file (a named pipe)"}}) {
        std::string error;
        EXPECT_EQ(load_at_converter_rate(dir / name, nullptr, &error), nullptr) << name;
        EXPECT_EQ(error, why);
    }
}

// Songs prepared side by side load side by side: one whose file keeps its
// load waiting holds up no other, and the layer the loads set up for
// themselves is released when the last one ends.
TEST(LoadAtConverterRate, ALoadWaitingOnItsFileHoldsUpNoOtherThread) {
    test_support::scratch_dir dir;
    test_sound::write_wav16(dir / "a.wav", 48000, 1, test_sound::pulsing_tone(48000, 440.0, 3.0, 20000.0, 1));
    test_sound::stalled_file slow(dir / "slow.wav");
    if (!slow.leased()) GTEST_SKIP() << "this file system takes no leases, so no open can be made to wait";
    std::string stalled_error;
    std::thread waiting([&] { load_at_converter_rate(dir / "slow.wav", nullptr, &stalled_error); });
    const bool opener = slow.opener_waiting();
    auto other = std::async(std::launch::async, [&] { return load_at_converter_rate(dir / "a.wav", nullptr, nullptr); });
    const bool other_done = other.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    slow.finish();
    waiting.join();
    EXPECT_TRUE(opener);
    EXPECT_TRUE(other_done) << "the load of a.wav waited for the slow file's";
    EXPECT_NE(other.get(), nullptr);
    EXPECT_FALSE(stalled_error.empty());
    EXPECT_TRUE(audiolayer::decode::init(-1, 44100)) << "the loads left the decoding layer initialised";
    audiolayer::decode::release();
}
