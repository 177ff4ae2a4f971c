#include <gtest/gtest.h>
#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "alignment/alignment.hpp"
#include "converter/convert.hpp"
#include "converter/load_any.hpp"
#include "pattern/pattern_writer.hpp"
#include "support/scratch_dir.hpp"
#include "tools/measure/stage_measure.hpp"
#include "tools/song/song.hpp"

namespace {

constexpr double two_pi = 6.283185307179586476925;

// A value in [-1, 1) fixed by two integers, so every hit of the made music
// is the same wherever a copy starts.
double hashed(std::uint64_t a, std::uint64_t b) {
    std::uint64_t h = a * 0x9e3779b97f4a7c15ULL ^ (b + 0x632be59bd9b4e019ULL);
    h ^= h >> 31;
    h *= 0xbf58476d1ce4e5b9ULL;
    h ^= h >> 29;
    return static_cast<double>(h >> 11) / 4503599627370496.0 - 1.0;
}

struct piece {
    unsigned seed = 1;
    double bpm = 120;
    bool loop = false;  // one bar (eight eighths) over and over, from music time 0 and nothing before
    double melody = 1.0;  // the melody's gain: another mix of the same parts
};

// Drums and a melody on an eighth-note grid, every hit's loudness and the
// melody's notes drawn from the seed: `seconds` of stereo at `rate` from
// music time `from` (negative: music from before the copy at 0 starts).
std::vector<float> render(const piece& p, double from, double seconds, int rate) {
    const std::size_t frames = static_cast<std::size_t>(seconds * rate);
    std::vector<float> out(2 * frames, 0.0f);
    const double eighth = 30.0 / p.bpm;
    static const double scale[] = {220.0, 247.5, 275.0, 330.0, 366.7, 440.0, 495.0, 550.0};
    for (long j = static_cast<long>(std::floor((from - 1.0) / eighth)); j * eighth < from + seconds; ++j) {
        const double at = j * eighth;
        if (p.loop && j < 0) continue;
        const std::uint64_t key = static_cast<std::uint64_t>(p.loop ? j % 8 : j + 1000000);
        const double kick = (j % 2 == 0 || hashed(p.seed, key * 7) > 0.6) ? 0.8 + 0.2 * hashed(p.seed, key * 7 + 1) : 0;
        const double snare = (j % 8 == 2 || j % 8 == 6) ? 0.5 + 0.2 * hashed(p.seed, key * 7 + 2) : 0;
        const double hat = hashed(p.seed, key * 7 + 3) > -0.6 ? 0.25 + 0.1 * hashed(p.seed, key * 7 + 4) : 0;
        const double note = hashed(p.seed, key * 7 + 5) > -0.4 ? 0.3 * p.melody : 0;
        const double pitch = scale[static_cast<int>((hashed(p.seed, key * 7 + 6) + 1.0) * 4.0) % 8];
        const long first = std::max(0L, static_cast<long>(std::ceil((at - from) * rate)));
        const long last = std::min(static_cast<long>(frames), static_cast<long>((at - from + 0.45) * rate));
        for (long n = first; n < last; ++n) {
            const double t = (n / static_cast<double>(rate)) + from - at;
            const double noise = hashed(p.seed, static_cast<std::uint64_t>(t * 44100.0) + 17);
            const double drums = kick * std::exp(-t / 0.08) * std::sin(two_pi * (55.0 * t + 40.0 * (1 - std::exp(-t / 0.02)))) +
                                 snare * std::exp(-t / 0.06) * noise + hat * std::exp(-t / 0.015) * noise;
            const double melody = note * std::exp(-t / 0.2) * (std::sin(two_pi * pitch * t) + 0.3 * std::sin(two_pi * 3 * pitch * t));
            out[2 * n] += static_cast<float>(0.5 * (drums + 0.7 * melody));
            out[2 * n + 1] += static_cast<float>(0.5 * (0.7 * drums + melody));
        }
    }
    return out;
}

std::vector<float> resampled(const std::vector<float>& in, int from, int to) {
    const std::size_t frames = in.size() / 2;
    std::vector<float> out(2 * (frames * static_cast<std::size_t>(to) / static_cast<std::size_t>(from) + 1));
    std::size_t done = 0;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t q = soxr_quality_spec(SOXR_HQ, 0);
    soxr_oneshot(from, to, 2, in.data(), frames, nullptr, out.data(), out.size() / 2, &done, &io, &q, nullptr);
    out.resize(2 * done);
    return out;
}

// What a lossy encoder leaves: the top cut (two one-pole low-passes at
// about 6 kHz at 44.1 kHz) and noise 45 dB down.
void make_lossy(std::vector<float>& v) {
    std::mt19937 gen(7);
    std::normal_distribution<float> noise(0.0f, 0.0056f);
    float a[2] = {0, 0}, b[2] = {0, 0};
    for (std::size_t i = 0; i < v.size(); ++i) {
        const int c = static_cast<int>(i % 2);
        a[c] += 0.55f * (v[i] - a[c]);
        b[c] += 0.55f * (a[c] - b[c]);
        v[i] = b[c] + noise(gen);
    }
}

alignment::envelope envelope_of(const std::vector<float>& v, int rate) {
    return alignment::make_envelope(v.data(), v.size() / 2, 2, rate);
}

}  // namespace

// Copies of one piece, moved, resampled, made lossy or led by silence, are
// found at the offset put in; another piece, the same beat at another
// tempo, silence and a one-second file are not clear.
TEST(Alignment, FindsCopiesOfOneRecordingAndOnlyThose) {
    const piece music{1, 120};
    const auto board = envelope_of(render(music, 0, 60, 44100), 44100);
    struct row {
        const char* name;
        piece p;
        double shift_ms, silence_ms, seconds;
        int rate;
        bool lossy, clear;
        const char* why;
    };
    const row rows[] = {
        {"500 ms later", music, 500, 0, 60, 44100, false, true, ""},
        {"120 ms earlier", music, -120, 0, 60, 44100, false, true, ""},
        {"3 ms later, resampled to 48 kHz", music, 3, 0, 60, 48000, false, true, ""},
        {"unchanged", music, 0, 0, 60, 44100, false, true, ""},
        {"resampled to 48 kHz", music, 0, 0, 60, 48000, false, true, ""},
        {"2.5 ms earlier, lossy", music, -2.5, 0, 60, 44100, true, true, ""},
        {"1 ms later, resampled to 48 kHz", music, 1, 0, 60, 48000, false, true, ""},
        {"lossy, resampled, 1.5 s of silence before", music, 0, 1500, 60, 48000, true, true, ""},
        {"lossy, 120 ms earlier", music, -120, 0, 60, 44100, true, true, ""},
        {"20 s of silence before, lossy", music, 0, 20000, 50, 44100, true, true, ""},
        {"another piece on the same beat", {2, 120}, 0, 0, 60, 44100, false, false, "beats do not line up"},
        {"another mix: the melody 6 dB down", {1, 120, false, 0.5}, 0, 0, 60, 44100, false, false, "another mix"},
        {"another mix, lossy: the melody 6 dB up", {1, 120, false, 2.0}, 120, 0, 60, 48000, true, false, "another mix"},
        {"the same beat 5% faster", {1, 126}, 0, 0, 60, 44100, false, false, "beats do not line up"},
        {"a one-second file", music, 0, 0, 1, 44100, false, false, "overlaps"},
        {"silence", music, 0, 60000, 0, 44100, false, false, "nearly silent"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        std::vector<float> copy(2 * static_cast<std::size_t>(r.silence_ms / 1000.0 * 44100), 0.0f);
        const auto played = render(r.p, -r.shift_ms / 1000.0, r.seconds, 44100);
        copy.insert(copy.end(), played.begin(), played.end());
        if (r.rate != 44100) copy = resampled(copy, 44100, r.rate);
        if (r.lossy) make_lossy(copy);
        const alignment::offset found = alignment::align(board, envelope_of(copy, r.rate));
        EXPECT_EQ(found.clear, r.clear) << found.why;
        EXPECT_NE(found.why.find(r.why), std::string::npos) << found.why;
        if (r.clear) {
            EXPECT_NEAR(found.ms, r.shift_ms + r.silence_ms, 2.0);
        }
    }
}

// A loop is the same a bar later everywhere but at its start and its end:
// a copy led by silence is found at the silence, not a bar away from it,
// where less of the two files overlaps but what does matches as well.
TEST(Alignment, ALoopIsFoundAtItsStartNotABarAway) {
    const piece loop{4, 120, true};
    const auto board = envelope_of(render(loop, 0, 10, 44100), 44100);
    for (const bool lossy : {false, true}) {
        SCOPED_TRACE(lossy ? "lossy" : "unchanged");
        std::vector<float> copy(2 * 22050, 0.0f);
        const auto played = render(loop, 0, 10, 44100);
        copy.insert(copy.end(), played.begin(), played.end());
        if (lossy) make_lossy(copy);
        const alignment::offset found = alignment::align(board, envelope_of(copy, 44100));
        EXPECT_TRUE(found.clear) << found.why;
        EXPECT_NEAR(found.ms, 500.0, 2.0);
    }
}

// What the server keeps comes back whole; anything else is refused.
TEST(Alignment, EncodedEnvelopesComeBackAndDamagedOnesAreRefused) {
    const auto e = envelope_of(render({3, 100}, 0, 20, 44100), 44100);
    ASSERT_EQ(e.values.size(), 20u * 200u);
    const std::string bytes = alignment::encode(e);
    const auto back = alignment::decode(bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->values, e.values);
    EXPECT_EQ(back->levels, e.levels);
    EXPECT_EQ(e.levels.size(), 20u * 20u * alignment::level_bands);
    EXPECT_TRUE(alignment::decode(alignment::encode({})));
    // An envelope kept before levels were: its values, no levels.
    const auto old = alignment::decode(alignment::encode({e.values, {}}));
    ASSERT_TRUE(old);
    EXPECT_EQ(old->values, e.values);
    EXPECT_TRUE(old->levels.empty());

    std::string wrong_mark = bytes, longer_count = bytes, oversize = bytes.substr(0, 8);
    wrong_mark[0] ^= 1;
    longer_count[4] = static_cast<char>(longer_count[4] + 1);
    const std::uint32_t too_many = alignment::max_seconds * 200 + 1;
    for (int k = 0; k < 4; ++k) oversize[4 + k] = static_cast<char>((too_many >> (8 * k)) & 0xff);
    oversize.resize(8 + too_many, '\0');
    // Levels marked but too few values to hold any.
    std::string no_levels = alignment::encode({{1, 2, 3}, {}});
    no_levels[3] = '2';
    const std::string damaged[] = {"", bytes.substr(0, 7), bytes.substr(0, bytes.size() - 1), bytes + "x",
                                   wrong_mark, longer_count, oversize, no_levels};
    for (const std::string& d : damaged) EXPECT_FALSE(alignment::decode(d)) << d.size() << " bytes";

    std::string why;
    EXPECT_FALSE(alignment::envelope_of_file("/nonexistent/song.flac", why));
    EXPECT_FALSE(why.empty());

    // Nothing to make an envelope of: no channels, rates out of range.
    const auto music = render({3, 100}, 0, 2, 44100);
    for (const auto& [channels, rate] : {std::pair{0, 44100}, std::pair{2, 999}, std::pair{2, 768001}})
        EXPECT_TRUE(alignment::make_envelope(music.data(), music.size() / 2, channels, rate).values.empty()) << rate;
    EXPECT_EQ(alignment::make_envelope(music.data(), music.size() / 2, 2, 768000).values.size(), 200u * 2u * 44100u / 768000u);

    // 16-bit samples give the same envelope as the same values as floats,
    // at rates halved three times, twice, once and not at all, mono and
    // stereo, an odd count of frames.
    const auto played = render({3, 100}, 0, 12, 44100);
    for (const auto& [channels, rate] : {std::pair{2, 96000}, std::pair{2, 44100}, std::pair{1, 48000},
                                         std::pair{2, 22050}, std::pair{1, 11025}, std::pair{2, 11025}}) {
        const std::size_t frames = played.size() / 2 - 1, ch = static_cast<std::size_t>(channels);
        std::vector<std::int16_t> whole(frames * ch);
        std::vector<float> same(frames * ch);
        for (std::size_t i = 0; i < whole.size(); ++i) {
            const float v = played[i / ch * 2 + i % ch];
            whole[i] = static_cast<std::int16_t>(std::lround(std::clamp(v, -1.0f, 1.0f) * 32767.0f));
            same[i] = whole[i] / 32768.0f;
        }
        const auto made = alignment::make_envelope(whole.data(), frames, channels, rate);
        EXPECT_EQ(made.values.size(), frames * 200 / static_cast<std::size_t>(rate)) << channels << " at " << rate;
        const auto as_floats = alignment::make_envelope(same.data(), frames, channels, rate);
        EXPECT_EQ(made.values, as_floats.values) << channels << " at " << rate;
        EXPECT_EQ(made.levels, as_floats.levels) << channels << " at " << rate;
    }
}

namespace {

std::vector<std::int64_t> arrivals_of(const converter::wave_sample& music) {
    pattern::vector_sink stage;
    converter::write_pattern(music, converter::edition::dynamics, converter::difficulty::normal, stage, nullptr, 2);
    return stage_measure::arrival_ticks(*stage_measure::parse_stage(stage.bytes));
}

// The copy's level in dB over `ms` ms of its mono mix from `at` seconds.
double level_db(const converter::wave_sample& music, double at, double ms) {
    const std::size_t ch = music.info.chans;
    const long from = std::lround(at * 44100.0), count = std::lround(ms * 44.1);
    double sum = 0.0;
    for (long n = std::max(0L, from); n < std::min(from + count, static_cast<long>(music.frame_count())); ++n) {
        double v = 0.0;
        for (std::size_t c = 0; c < ch; ++c) v += music.data[static_cast<std::size_t>(n) * ch + c] / 32768.0;
        sum += (v / ch) * (v / ch);
    }
    return 10.0 * std::log10(sum / static_cast<double>(count) + 1e-10);
}

// How well arrivals, `shift_ms` later, sit on the music's onsets: the rise
// in level (dB) from the 30 ms before each arrival to the 30 ms after it,
// averaged. It is each event's own rise, so how many events a stage puts
// in loud or quiet passages counts little, and it needs no onset detector
// of its own, so it favours neither the aligner's envelope nor the
// converter.
double rise_at_arrivals(const converter::wave_sample& music, const std::vector<std::int64_t>& ticks, double shift_ms) {
    double total = 0.0;
    for (std::int64_t t : ticks) {
        const double at = static_cast<double>(t) / pattern::ticks_per_second + shift_ms / 1000.0;
        total += level_db(music, at, 30.0) - level_db(music, at - 0.030, 30.0);
    }
    return total / static_cast<double>(ticks.size());
}

// What the arrivals lose by their timing: how much more they would rise
// at the best moment within 50 ms of `shift_ms` (2 ms steps). Two stages
// hold different events, so each is held to its own best timing on the
// same music; then only the timing is compared.
double timing_loss(const converter::wave_sample& music, const std::vector<std::int64_t>& ticks, double shift_ms) {
    double best = rise_at_arrivals(music, ticks, shift_ms - 50.0);
    for (int d = -48; d <= 50; d += 2) best = std::max(best, rise_at_arrivals(music, ticks, shift_ms + d));
    return best - rise_at_arrivals(music, ticks, shift_ms);
}

}  // namespace

// A stage made from one file, played over a lossy copy led by 0.5 s of
// silence at the measured offset, lands its bullets on the copy's music as
// well as the copy's own stage does.
TEST(Alignment, AStageMovedByTheOffsetFitsALossyCopy) {
    test_support::scratch_dir dir;
    const auto original = song::render(0);
    std::vector<std::int16_t> copy(44100, 0);  // 0.5 s of stereo silence
    copy.insert(copy.end(), original.begin(), original.end());
    std::string error;
    ASSERT_TRUE(song::write_song(dir / "song.flac", original, error)) << error;
    ASSERT_TRUE(song::write_song(dir / "copy.mp3", copy, error)) << error;

    const auto board = alignment::envelope_of_file(dir / "song.flac", error);
    const auto mine = alignment::envelope_of_file(dir / "copy.mp3", error);
    ASSERT_TRUE(board && mine) << error;
    const alignment::offset found = alignment::align(*board, *mine);
    ASSERT_TRUE(found.clear) << found.why;
    EXPECT_NEAR(found.ms, 500.0, 60.0) << "the silence, and at most the decoder's own delay";

    const auto source = converter::load_at_converter_rate(dir / "song.flac", nullptr, &error);
    const auto lossy = converter::load_at_converter_rate(dir / "copy.mp3", nullptr, &error);
    ASSERT_TRUE(source && lossy) << error;
    const auto board_arrivals = arrivals_of(*source);
    const double moved = timing_loss(*lossy, board_arrivals, found.ms);
    const double own = timing_loss(*lossy, arrivals_of(*lossy), 0.0);
    // A quarter of a dB: the stages' events differ, so their best moments
    // may differ by a step.
    EXPECT_LE(moved, own + 0.25) << "the moved stage loses " << moved << " dB, the copy's own " << own << " dB";
    // The measure tells a stage 20 ms late.
    EXPECT_GT(timing_loss(*lossy, board_arrivals, found.ms + 20.0), own + 1.0);
}
