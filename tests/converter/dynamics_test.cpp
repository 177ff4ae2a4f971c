#include <ebur128.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "converter/convert.hpp"
#include "converter/dynamics.hpp"
#include "converter/load_any.hpp"
#include "converter/loudness.hpp"
#include "support/scratch_dir.hpp"
#include "tools/measure/golden_stages.hpp"
#include "tools/measure/stage_measure.hpp"
#include "tools/song/dynamics_song.hpp"
#include "tools/song/song.hpp"

using converter::difficulty;
using converter::edition;
namespace sections = song::dynamics_sections;

namespace {

const std::vector<std::int16_t>& music() {
    static const auto v = song::render_dynamics(0.0);
    return v;
}

std::vector<std::uint8_t> bytes_of(const converter::wave_sample& source, edition ed, unsigned threads) {
    pattern::vector_sink sink;
    converter::write_pattern(source, ed, difficulty::hard, sink, nullptr, threads);
    return sink.bytes;
}

stage_measure::groups stage_of(const converter::wave_sample& source, edition ed = edition::dynamics) {
    return *stage_measure::parse_stage(bytes_of(source, ed, 1));
}

stage_measure::groups stage_of(const std::vector<std::int16_t>& values, edition ed = edition::dynamics) {
    return stage_of(converter::wave_sample(44100, 2, values), ed);
}

std::vector<double> per_second(const stage_measure::groups& stage) {
    return stage_measure::events_per_second(stage, sections::length);
}

// The dynamics edition's events by the moment their bullets cross the
// playfield's centre, the music moment each stands for.
std::vector<double> arrivals_per_second(const stage_measure::groups& stage) {
    return stage_measure::count_per_bin(stage_measure::arrival_ticks(stage), sections::length,
                                        pattern::ticks_per_second);
}

std::size_t arrivals_between(const stage_measure::groups& stage, double from, double to) {
    std::size_t n = 0;
    for (std::int64_t t : stage_measure::arrival_ticks(stage)) {
        const double s = static_cast<double>(t) / pattern::ticks_per_second;
        n += s >= from && s < to;
    }
    return n;
}

double total(const std::vector<double>& v) {
    double t = 0.0;
    for (double x : v) t += x;
    return t;
}

}  // namespace

// The standard edition fires as much in the quiet passage and the silence as
// in the loud parts; the dynamics edition's danger follows the loudness.
TEST(Dynamics, EventsFollowTheLoudnessAndNoneArriveInSilence) {
    const auto standard = stage_of(music(), edition::standard);
    const auto dynamics = stage_of(music());
    ASSERT_GT(stage_measure::events_between(standard, sections::silence_from, sections::silence_to), 100u);
    EXPECT_EQ(arrivals_between(dynamics, sections::silence_from, sections::silence_to), 0u);

    const auto loudness = stage_measure::short_term_loudness(music(), 2);
    const auto events = arrivals_per_second(dynamics);
    EXPECT_GE(stage_measure::spearman(events, loudness), 0.6);
    // Away from the edges, where the 3 s loudness window reaches across.
    const double quiet = stage_measure::mean_over(events, sections::quiet_from + 1, sections::quiet_to - 1);
    const double loud = stage_measure::mean_over(events, sections::loud_from + 1, sections::loud_to - 1);
    EXPECT_GT(quiet, 0.0) << "a quiet passage above the gate still fires";
    EXPECT_LE(quiet, loud / 4);
    const double standard_quiet = stage_measure::mean_over(per_second(standard), sections::quiet_from + 1, sections::quiet_to - 1);
    EXPECT_GT(standard_quiet, loud / 4) << "the standard edition does not follow the loudness";

    // Easy is sparser and still quieter where the music is.
    pattern::vector_sink easy;
    converter::write_pattern(converter::wave_sample(44100, 2, music()), edition::dynamics, difficulty::easy, easy,
                             nullptr, 1);
    const auto easy_events = arrivals_per_second(*stage_measure::parse_stage(easy.bytes));
    EXPECT_LE(stage_measure::mean_over(easy_events, sections::quiet_from + 1, sections::quiet_to - 1),
              stage_measure::mean_over(easy_events, sections::loud_from + 1, sections::loud_to - 1) / 2);
}

// The same music 12 dB quieter, or as a 128 kbit/s MP3, gives nearly the same
// stage: the rule measures the song against itself.
TEST(Dynamics, QuieterOrCompressedCopiesGiveNearlyTheSameStage) {
    const auto original = arrivals_per_second(stage_of(music()));
    const auto quieter = arrivals_per_second(stage_of(song::render_dynamics(-12.0)));
    EXPECT_NEAR(total(quieter), total(original), 0.05 * total(original));
    EXPECT_GE(stage_measure::pearson(quieter, original), 0.95);

    test_support::scratch_dir dir;
    std::string error;
    ASSERT_TRUE(song::write_song(dir / "song.mp3", music(), error)) << error;
    const auto decoded = converter::load_at_converter_rate(dir / "song.mp3", nullptr, &error);
    ASSERT_TRUE(decoded) << error;
    const auto mp3 = arrivals_per_second(stage_of(*decoded));
    EXPECT_NEAR(total(mp3), total(original), 0.05 * total(original));
    EXPECT_GE(stage_measure::pearson(mp3, original), 0.9);
}

// The song is measured once before the seconds are shared out, so the
// threads change nothing; nor does it depend on anything but the song.
TEST(Dynamics, AnyThreadCountGivesTheSameStage) {
    const converter::wave_sample source(44100, 2, {music().begin(), music().begin() + 2 * 44100 * 12});
    const auto one = bytes_of(source, edition::dynamics, 1);
    ASSERT_GT(one.size(), 1200u);
    for (unsigned threads : {2u, 5u}) EXPECT_EQ(bytes_of(source, edition::dynamics, threads), one) << threads;
}

// The plan's budget and weights decide which records of a second survive.
TEST(Dynamics, KeepsTheStrongestRecordsOnSoundingTicks) {
    converter::dynamics_plan plan;
    plan.groups = 1;
    plan.seconds = 2;
    plan.budget = {3, 0};
    plan.weight.assign(120, 0.25f);
    plan.weight[5] = 1.25f;  // a hit
    plan.weight[7] = 0.0f;   // a silent frame
    converter::event_queue events;
    // time, angle (the record's place, to follow it), speed
    for (const bullet_pattern_element& e : std::vector<bullet_pattern_element>{
             {0, 0, 2.0f}, {5, 1, 1.0f}, {7, 2, 5.0f}, {9, 3, 2.0f}, {10, 4, 1.5f}, {12, 5, 2.0f}})
        events.push_back(e);
    converter::keep_strongest(events, plan, 0, 0);
    // Strengths 0.5, 1.25, gated, 0.5, 0.375, 0.5: the hit, then the two
    // earliest of the three equal ones, in their order.
    std::vector<float> kept;
    for (const auto& e : events) kept.push_back(e.angle);
    EXPECT_EQ(kept, (std::vector<float>{0, 1, 3}));

    converter::event_queue later;
    later.push_back({60, 0, 2.0f});
    converter::keep_strongest(later, plan, 0, 1);
    EXPECT_TRUE(later.empty()) << "a second with no budget keeps nothing";
}

// Against the plain greedy choice, one record at a time the strongest by
// its speed times its tick's weight, halved for each record already kept on
// its tick (ties to the earlier tick, then record): seconds of hundreds of
// records, some crowded onto a few ticks so that the choice goes deep.
TEST(Dynamics, KeepsWhatTheGreedyChoiceKeeps) {
    struct row {
        std::size_t records;
        unsigned ticks_used;  // the records lie on the first this many ticks
        std::uint16_t budget;
    };
    for (const row& r : std::vector<row>{{600, 60, 15}, {600, 60, 30}, {400, 2, 30}, {300, 5, 9}, {40, 60, 30}}) {
        SCOPED_TRACE(testing::Message() << r.records << " records on " << r.ticks_used << " ticks, " << r.budget);
        converter::dynamics_plan plan;
        plan.groups = 1;
        plan.seconds = 1;
        plan.budget = {r.budget};
        std::uint32_t x = static_cast<std::uint32_t>(r.records * 31 + r.budget);
        auto next = [&x](std::uint32_t n) {
            x = x * 1664525u + 1013904223u;
            return (x >> 8) % n;
        };
        for (int t = 0; t < 60; ++t) plan.weight.push_back(t % 7 == 3 ? 0.0f : 0.25f + 0.25f * static_cast<float>(next(5)));
        converter::event_queue events;
        for (std::size_t k = 0; k < r.records; ++k)
            events.push_back({static_cast<std::int32_t>(next(r.ticks_used)), static_cast<float>(k),
                              0.5f + 0.125f * static_cast<float>(next(16))});

        std::vector<char> kept(events.size(), 0);
        std::vector<unsigned> crowd(60, 0);
        for (unsigned n = 0; n < r.budget; ++n) {
            std::ptrdiff_t best = -1;
            double best_strength = 0.0;
            for (std::size_t k = 0; k < events.size(); ++k) {
                const float w = plan.weight[static_cast<std::size_t>(events[k].time)];
                if (kept[k] || w <= 0.0f) continue;
                const double strength = std::ldexp(static_cast<double>(events[k].speed) * w,
                                                   -static_cast<int>(crowd[static_cast<std::size_t>(events[k].time)]));
                const auto& b = events[static_cast<std::size_t>(best < 0 ? 0 : best)];
                if (best < 0 || strength > best_strength || (strength == best_strength && events[k].time < b.time)) {
                    best = static_cast<std::ptrdiff_t>(k);
                    best_strength = strength;
                }
            }
            if (best < 0) break;
            kept[static_cast<std::size_t>(best)] = 1;
            ++crowd[static_cast<std::size_t>(events[static_cast<std::size_t>(best)].time)];
        }
        std::vector<float> expected;
        for (std::size_t k = 0; k < events.size(); ++k)
            if (kept[k]) expected.push_back(events[k].angle);

        converter::keep_strongest(events, plan, 0, 0);
        std::vector<float> got;
        for (const auto& e : events) got.push_back(e.angle);
        EXPECT_EQ(got, expected);
    }
}

// Hits weigh most, digital silence nothing; loudness sets the budgets.
TEST(Dynamics, PlanWeighsHitsGatesSilenceAndFollowsLoudness) {
    // Mono: a steady noise bed, one hit in frame 40 of second 1, second 3
    // digitally silent, second 4 the bed 30 dB down.
    std::vector<std::int16_t> v(5 * 44100);
    std::uint32_t state = 12345;
    for (std::size_t n = 0; n < v.size(); ++n) {
        state = state * 1664525u + 1013904223u;
        const double white = static_cast<double>(state >> 8) / 8388608.0 - 1.0;
        const std::size_t second = n / 44100, frame = n % 44100 / 735;
        double level = second == 4 ? 100.0 : 3000.0;
        if (second == 1 && frame == 40) level = 25000.0;
        v[n] = second == 3 ? 0 : static_cast<std::int16_t>(std::lround(level * white));
    }
    const auto plan = converter::plan_dynamics(converter::wave_sample(44100, 1, v));
    ASSERT_EQ(plan.seconds, 5u);
    EXPECT_FLOAT_EQ(plan.tick_weight(0, 60 + 40), 1.25f);
    EXPECT_FLOAT_EQ(plan.tick_weight(0, 60 + 41), 0.25f) << "no rise after the hit: sounding, not a hit";
    for (int t = 180; t < 240; ++t) EXPECT_EQ(plan.tick_weight(0, t), 0.0f) << t;
    EXPECT_GT(plan.tick_weight(0, 240 + 30), 0.0f) << "30 dB down is quiet, not silent";
    EXPECT_GT(plan.budget[1], 4 * plan.budget[4]);
    EXPECT_GT(plan.budget[4], 0);
}

// Stereo is measured side by side, other layouts value by value: a third
// channel beside the same two changes nothing, also where the music is
// clipped at full scale (the largest squares the stereo sums can meet).
TEST(Dynamics, StereoAndThreeChannelLayoutsMeasureAlike) {
    const std::size_t frames = 12 * 44100;
    const std::vector<std::int16_t> plain(music().begin(), music().begin() + 2 * frames);
    const std::vector<std::int16_t> clipped = [&] {
        std::vector<std::int16_t> v(plain);
        for (std::size_t n = 5 * 44100; n < 8 * 44100; ++n) {
            v[2 * n] = -32768;
            v[2 * n + 1] = (n / 300) % 2 ? 32767 : -32768;
        }
        return v;
    }();
    for (const std::vector<std::int16_t>* two : {&plain, &clipped}) {
        std::vector<std::int16_t> three;
        for (std::size_t n = 0; n < frames; ++n)
            three.insert(three.end(), {(*two)[2 * n], (*two)[2 * n + 1], static_cast<std::int16_t>(n % 977)});
        const auto a = converter::plan_dynamics(converter::wave_sample(44100, 2, *two));
        const auto b = converter::plan_dynamics(converter::wave_sample(44100, 3, three));
        EXPECT_EQ(a.integrated, b.integrated);
        EXPECT_EQ(a.short_term, b.short_term);
        EXPECT_EQ(a.budget, b.budget);
        EXPECT_EQ(a.weight, b.weight);
    }
}

// Each event fires early by its flight, so that its bullet is back at the
// centre on the event's own tick; stronger events fly faster, every flight
// within the difficulty's span, events of the first seconds at tick 0, each
// group in time order.
TEST(Dynamics, FiresEachEventEarlyByItsFlight) {
    converter::dynamics_plan plan;
    plan.groups = 2;
    plan.seconds = 4;
    plan.weight.assign(2 * 4 * 60, 0.25f);
    plan.weight[150] = 1.25f;  // a hit in group 0
    // time, angle, speed (the burst's)
    const float right = 0.0f, down_right = 0.7853982f, up = -1.5707964f;
    converter::stage_events stage{{{30, up, 1.0f}, {150, right, 1.0f}, {150, down_right, 1.0f}, {200, right, 1.0f}},
                                  {{100, up, 0.8f}, {230, down_right, 2.0f}}};
    const converter::stage_events before = stage;
    converter::finish_dynamics_stage(stage, plan, difficulty::hard);
    const converter::dynamics_level level = converter::dynamics_level_of(difficulty::hard);
    for (std::size_t g = 0; g < stage.size(); ++g) {
        ASSERT_EQ(stage[g].size(), before[g].size()) << "hard keeps every event";
        for (std::size_t i = 0; i + 1 < stage[g].size(); ++i) EXPECT_LE(stage[g][i].time, stage[g][i + 1].time);
        for (const bullet_pattern_element& e : stage[g]) {
            const auto was = std::find_if(before[g].begin(), before[g].end(), [&](const bullet_pattern_element& b) {
                return b.angle == e.angle && (e.time == 0 || b.time == e.time + converter::beat_flight_ticks(e.angle, e.speed));
            });
            ASSERT_NE(was, before[g].end()) << "group " << g << ", angle " << e.angle << ", time " << e.time;
            const int flight = converter::beat_flight_ticks(e.angle, e.speed);
            EXPECT_GE(flight, level.fastest * 60 - 3) << e.angle;
            EXPECT_LE(flight, level.slowest * 60 + 3) << e.angle;
            if (e.time == 0) {
                EXPECT_LT(was->time, flight) << "fired at the start: its flight is longer than the music before it";
            }
        }
    }
    // The hit flies faster than the same burst on a sounding tick, and a
    // diagonal as long as a straight line.
    auto flight_of = [&](std::size_t g, float angle, std::int32_t was) {
        for (const bullet_pattern_element& e : stage[g])
            if (e.angle == angle && (e.time + converter::beat_flight_ticks(e.angle, e.speed) == was)) return converter::beat_flight_ticks(e.angle, e.speed);
        return -1;
    };
    EXPECT_LT(flight_of(0, right, 150) + 10, flight_of(0, right, 200));
    EXPECT_NEAR(flight_of(0, down_right, 150), flight_of(0, right, 150), 3);
}

// Many events' flights at once are each one's own: at every angle the
// converter aims, at the edition's speeds and beyond them (a minute's cap,
// none, not a number, a flight of one move), in groups and in remainders.
TEST(Dynamics, FlightsOfManyEventsAreEachEventsOwn) {
    std::vector<float> angles, speeds;
    for (int a = 0; a < 64; ++a)
        for (float speed : {2.4f, 3.0f, 3.9f, 5.2f, 0.004f, 0.0f, -3.0f, 900.0f, NAN, INFINITY}) {
            angles.push_back(static_cast<float>(a) * 3.14159265f / 32.0f - 1.5707964f);
            speeds.push_back(speed);
        }
    angles.push_back(NAN);
    speeds.push_back(3.0f);
    std::vector<int> flights(angles.size(), -1);
    converter::beat_flight_ticks(angles.data(), speeds.data(), flights.data(), angles.size());
    for (std::size_t i = 0; i < angles.size(); ++i)
        ASSERT_EQ(flights[i], converter::beat_flight_ticks(angles[i], speeds[i])) << angles[i] << ", " << speeds[i];
}

// The edition's output is defined to the bit: its stages of two songs at
// every difficulty are those kept in tests/converter/golden/ (when a change
// to the edition is meant, its stage format version goes up in
// converter/editions.def and the file is written again:
// build/golden_stages tests/converter/golden/dynamics_stages.txt).
TEST(Dynamics, StagesAreTheGoldenOnes) {
    std::ifstream in(VELMORA_GOLDEN_STAGES);
    ASSERT_TRUE(in) << VELMORA_GOLDEN_STAGES;
    const std::string kept{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_EQ(golden_stages::digest_text(), kept);
}

namespace {

// A signal made of parts: each `seconds` long at `rate`, noise or a tone at
// `level` (full scale 1), or digital silence at level 0.
struct part {
    double seconds, level, tone_hz;
};

std::vector<float> signal_of(unsigned rate, std::initializer_list<part> parts, unsigned seed) {
    std::vector<float> v;
    std::uint32_t x = seed;
    for (const part& p : parts) {
        const auto n = static_cast<std::size_t>(p.seconds * rate);
        for (std::size_t i = 0; i < n; ++i) {
            x = x * 1664525u + 1013904223u;
            const double noise = static_cast<double>(x >> 8) / 8388608.0 - 1.0;
            const double t = static_cast<double>(i) / rate;
            const double s = p.tone_hz > 0.0 ? std::sin(6.283185307179586 * p.tone_hz * t) : noise;
            v.push_back(static_cast<float>(p.level * s));
        }
    }
    return v;
}

}  // namespace

// Our meter against the reference meter on the same values fed in the same
// pieces: every short-term value and the integrated loudness, to the bit.
// Long digital silences let the filter's state fall below normal numbers,
// where the reference flushes it; pieces of odd sizes cross its 100 ms steps
// and the ring's end anywhere.
TEST(Dynamics, LoudnessIsTheReferenceMetersToTheBit) {
    struct row {
        const char* what;
        unsigned rate;
        std::size_t piece;
        std::vector<float> values;
    };
    const std::vector<row> rows = {
        {"noise at three levels", 11025, 11025,
         signal_of(11025, {{4, 0.3, 0}, {5, 0.02, 0}, {3.7, 0.9, 0}}, 1)},
        {"tones, odd pieces", 11025, 777, signal_of(11025, {{2.5, 0.5, 440}, {3, 0.05, 60}, {6, 0.7, 3000}}, 2)},
        {"silences long enough for subnormal states", 11025, 11025,
         signal_of(11025, {{1.5, 0.4, 0}, {14, 0, 0}, {2, 0.3, 100}, {9, 0, 0}}, 3)},
        {"quieter than the gate", 11025, 4000, signal_of(11025, {{5, 1e-5, 0}, {2, 0.5, 0}}, 4)},
        {"nothing but silence", 11025, 11025, signal_of(11025, {{5, 0, 0}}, 5)},
        {"another rate", 48000, 48000, signal_of(48000, {{4, 0.2, 0}, {3, 0.6, 1000}}, 6)},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        ebur128_state* ref = ebur128_init(1, r.rate, EBUR128_MODE_S | EBUR128_MODE_I);
        ASSERT_NE(ref, nullptr);
        converter::k_loudness ours(r.rate);
        std::vector<double> expected;
        for (std::size_t at = 0; at < r.values.size(); at += r.piece) {
            const std::size_t n = std::min(r.piece, r.values.size() - at);
            ASSERT_EQ(ebur128_add_frames_float(ref, r.values.data() + at, n), EBUR128_SUCCESS);
            ours.add(r.values.data() + at, n);
            expected.push_back(0.0);
            ebur128_loudness_shortterm(ref, &expected.back());
            ours.mark_short_term();
        }
        double integrated = 0.0;
        ebur128_loudness_global(ref, &integrated);
        ebur128_destroy(&ref);
        const std::vector<double>& got = ours.short_term();
        ASSERT_EQ(got.size(), expected.size());
        for (std::size_t k = 0; k < got.size(); ++k)
            ASSERT_EQ(std::memcmp(&got[k], &expected[k], sizeof(double)), 0)
                << "short-term " << k << ": " << got[k] << " against " << expected[k];
        const double ours_integrated = ours.integrated();
        EXPECT_EQ(std::memcmp(&ours_integrated, &integrated, sizeof(double)), 0)
            << ours_integrated << " against " << integrated;
    }
}
