#include <ebur128.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "converter/convert.hpp"
#include "converter/dynamics.hpp"
#include "converter/load_any.hpp"
#include "converter/loudness.hpp"
#include "converter/onsets.hpp"
#include "kernel_sets.hpp"
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

namespace {

// Made signals, interleaved stereo at 44100 Hz, the same in both channels.
std::vector<std::int16_t> stereo(const std::vector<double>& mono) {
    std::vector<std::int16_t> v;
    for (double x : mono) {
        const auto s = static_cast<std::int16_t>(std::lround(std::max(-1.0, std::min(1.0, x)) * 32767.0));
        v.insert(v.end(), {s, s});
    }
    return v;
}

// `seconds` of silence, then a click (a 7 ms burst of noise) every 0.5 s
// for `clicking` seconds.
std::vector<std::int16_t> clicks(double silence, double clicking) {
    std::vector<double> v(static_cast<std::size_t>((silence + clicking) * 44100), 0.0);
    std::uint32_t x = 7;
    for (double t = silence; t < silence + clicking - 0.01; t += 0.5) {
        const auto at = static_cast<std::size_t>(std::lround(t * 44100));
        for (std::size_t i = 0; i < 3000; ++i) {
            x = x * 1664525u + 1013904223u;
            v[at + i] = 0.6 * std::exp(-static_cast<double>(i) / 300.0) * (static_cast<double>(x >> 8) / 8388608.0 - 1.0);
        }
    }
    return stereo(v);
}

// Turns of 4 s of loud clicks, 3 a second, and 4 s of clicks 26 dB down,
// 14 a second, each at a random place in its slot: the quiet part has
// almost five times the onsets, and no bar of it repeats another.
std::vector<std::int16_t> busy_quiet_turns(int turns) {
    std::vector<double> v(static_cast<std::size_t>(turns * 8 * 44100), 0.0);
    std::uint32_t x = 11;
    auto click = [&](std::size_t at, double level) {
        for (std::size_t i = 0; i < 3000 && at + i < v.size(); ++i) {
            x = x * 1664525u + 1013904223u;
            v[at + i] = level * std::exp(-static_cast<double>(i) / 300.0) *
                        (static_cast<double>(x >> 8) / 8388608.0 - 1.0);
        }
    };
    for (int turn = 0; turn < turns; ++turn) {
        const std::size_t start = static_cast<std::size_t>(turn) * 8 * 44100;
        for (int k = 0; k < 12; ++k) click(start + static_cast<std::size_t>(k) * 14700, 0.6);
        for (int k = 0; k < 56; ++k) {
            x = x * 1664525u + 1013904223u;
            click(start + 4 * 44100 + static_cast<std::size_t>(k) * 3150 + (x >> 16) % 800, 0.03);
        }
    }
    return stereo(v);
}

// Turns of 4 s of loud clicks, 3 a second, and 4 s of a tone held 30 dB
// down under a soft click once a second, each at a random place in its
// second: the held tone streams between the soft clicks.
std::vector<std::int16_t> loud_and_held_turns(int turns, std::vector<std::int64_t>& soft_ticks) {
    std::vector<double> v(static_cast<std::size_t>(turns * 8 * 44100), 0.0);
    std::uint32_t x = 13;
    auto click = [&](std::size_t at, double level) {
        for (std::size_t i = 0; i < 3000 && at + i < v.size(); ++i) {
            x = x * 1664525u + 1013904223u;
            v[at + i] += level * std::exp(-static_cast<double>(i) / 300.0) *
                         (static_cast<double>(x >> 8) / 8388608.0 - 1.0);
        }
    };
    for (int turn = 0; turn < turns; ++turn) {
        const std::size_t start = static_cast<std::size_t>(turn) * 8 * 44100;
        for (int k = 0; k < 12; ++k) click(start + static_cast<std::size_t>(k) * 14700, 0.6);
        for (std::size_t i = 0; i < 4 * 44100; ++i)
            v[start + 4 * 44100 + i] = 0.02 * std::sin(6.283185307179586 * 220.0 * static_cast<double>(i) / 44100.0);
        for (int k = 0; k < 4; ++k) {
            x = x * 1664525u + 1013904223u;
            const std::size_t at = start + static_cast<std::size_t>(4 + k) * 44100 + 2205 + (x >> 8) % 35280;
            soft_ticks.push_back(static_cast<std::int64_t>(std::lround(static_cast<double>(at) * 60.0 / 44100.0)));
            click(at, 0.05);
        }
    }
    return stereo(v);
}

// Silence, a 220 Hz tone held for `held` seconds, silence.
std::vector<std::int16_t> drone(double before, double held, double after) {
    std::vector<double> v(static_cast<std::size_t>((before + held + after) * 44100), 0.0);
    for (std::size_t i = 0; i < static_cast<std::size_t>(held * 44100); ++i)
        v[static_cast<std::size_t>(before * 44100) + i] =
            0.4 * std::min(1.0, static_cast<double>(i) / 441.0) * std::sin(6.283185307179586 * 220.0 * i / 44100.0);
    return stereo(v);
}

stage_measure::groups stage_at(const std::vector<std::int16_t>& values, difficulty d) {
    pattern::vector_sink sink;
    converter::write_pattern(converter::wave_sample(44100, 2, values), edition::dynamics, d, sink, nullptr, 2);
    return *stage_measure::parse_stage(sink.bytes);
}

// Arrivals on each tick.
std::vector<int> arrivals_on_ticks(const stage_measure::groups& stage, std::size_t ticks) {
    std::vector<int> on(ticks, 0);
    for (std::int64_t t : stage_measure::arrival_ticks(stage))
        if (t >= 0 && static_cast<std::size_t>(t) < ticks) ++on[static_cast<std::size_t>(t)];
    return on;
}

}  // namespace

// A steady click every 0.5 s is a beat a listener hears: at normal each
// click whose time allows the edition's fastest flight carries exactly one
// threat, crossing the centre on the click's own tick (a tick is 16.7 ms,
// so within 10 ms of it), and no threat arrives anywhere else; hard carries
// three on each, easy fewer than normal. After 4 s of digital silence the
// first click is a drop: its threats fly the slowest, seen coming.
TEST(Dynamics, EveryClickCarriesItsThreatsOnItsTick) {
    struct row {
        difficulty d;
        double silence;
        int least, most;  // threats on each click
    };
    for (const row& r : std::vector<row>{{difficulty::normal, 0.0, 1, 1},
                                         {difficulty::hard, 0.0, 3, 3},
                                         {difficulty::normal, 4.0, 1, 1},
                                         {difficulty::easy, 0.0, 0, 1}}) {
        SCOPED_TRACE(testing::Message() << converter::difficulty_name(r.d) << " after " << r.silence << " s");
        const double length = r.silence + 32.0;
        const auto stage = stage_at(clicks(r.silence, 32.0), r.d);
        const auto on = arrivals_on_ticks(stage, static_cast<std::size_t>(length * 60));
        const auto level = converter::dynamics_level_of(r.d);
        int total = 0, on_clicks = 0;
        for (int n : on) total += n;
        for (double t = r.silence; t < length - 0.01; t += 0.5) {
            const int n = on[static_cast<std::size_t>(std::lround(t * 60))];
            on_clicks += n;
            // No flight is short enough for the first; the last second's
            // loudness window reaches past the music, which sounds quieter.
            if (t * 60 < level.fastest * 60 + 3 || t >= length - 1.0) continue;
            EXPECT_GE(n, r.least) << "click at " << t << " s";
            EXPECT_LE(n, r.most) << "click at " << t << " s";
        }
        EXPECT_EQ(on_clicks, total) << "every threat arrives on a click";
        if (r.d == difficulty::easy) {
            EXPECT_GT(total, 8);
            EXPECT_LE(total, 64 / 2);
        }
        if (r.silence > 0.0) {
            int drops = 0;
            for (const auto& group : stage)
                for (const bullet_pattern_element& e : group) {
                    const int flight = converter::beat_flight_ticks(e.angle, e.speed);
                    if (e.time + flight != std::lround(r.silence * 60)) continue;
                    ++drops;
                    EXPECT_GE(flight, level.slowest * 60 - 3) << "a drop flies slowest";
                }
            EXPECT_EQ(drops, 1);
        }
    }
}

// A note of the dynamics song cut off while it still rings clicks, and an
// onset detector hears that click as a note of its own just before the next
// one (the bass's end, 20 ms before it): in the loud opening, no step in the
// 30 ms before a sixteenth's notes comes near 3% of the peak.
TEST(Dynamics, TheSongsNotesEndWithoutAClick) {
    const auto& s = music();
    constexpr long rate = 44100, opening = 10 * rate;
    int peak = 0;
    for (long n = 0; n < 2 * opening; ++n) peak = std::max(peak, std::abs(static_cast<int>(s[n])));
    for (long k = 1; k < 40; ++k) {  // 0.25 s to 9.75 s
        const long note = k * rate / 4;
        int sharpest = 0;
        for (long n = 2 * (note - rate * 3 / 100); n + 2 < 2 * note; ++n)
            sharpest = std::max(sharpest, std::abs(static_cast<int>(s[n + 2]) - static_cast<int>(s[n])));
        EXPECT_LT(sharpest, peak * 3 / 100) << "before the note at " << k / 4.0 << " s";
    }
}

// The beat tracker's beats fall on the clicks of a steady pulse, not some
// hops before them: a beat no onset marks is a pulse of its own, so a beat
// placed early is a threat on nothing the player hears. Clicks every 0.5 s
// over a quiet hiss (no hop silent), read as the converter feeds them.
TEST(Dynamics, BeatsFallOnTheClicksTheyStandFor) {
    constexpr std::size_t rate = converter::onset_finder::rate;
    std::vector<float> mono(30 * rate);
    std::uint32_t x = 11;
    auto noise = [&x] {
        x = x * 1664525u + 1013904223u;
        return static_cast<float>(static_cast<double>(x >> 8) / 8388608.0 - 1.0);
    };
    for (float& v : mono) v = 0.002f * noise();
    for (std::size_t at = rate / 2; at + 1500 < mono.size(); at += rate / 2)
        for (std::size_t i = 0; i < 1500; ++i) mono[at + i] += 0.5f * std::exp(-static_cast<float>(i) / 150.0f) * noise();
    converter::onset_finder found;
    for (std::size_t s = 0; s < 30; ++s) found.add(mono.data() + s * rate, rate);
    // Each beat within a tick and a half (the tracker's own steps are
    // 23 ms), and on the clicks on the whole.
    std::size_t locked = 0;
    double sum = 0.0;
    for (std::int64_t b : found.beats()) {
        if (b < static_cast<std::int64_t>(8 * rate)) continue;  // the tracker locks on in a few seconds
        const double at = static_cast<double>(b) / rate, off = at - std::round(at * 2.0) / 2.0;
        EXPECT_LE(std::fabs(off), 0.025) << "beat at " << at << " s";
        sum += off;
        ++locked;
    }
    ASSERT_GE(locked, 15u);
    EXPECT_LE(std::fabs(sum / static_cast<double>(locked)), 0.008);
}

// Notes at uneven gaps (0.2 to 0.45 s, each ringing into the next) have no
// beat to feel: the tracker still reports beats, guesses that mostly miss
// the notes, and those carry nothing. Every threat arrives on a note.
TEST(Dynamics, MusicWithNoSteadyBeatHasNoPulses) {
    std::vector<double> v(30 * 44100, 0.0);
    std::vector<std::int64_t> notes;
    std::uint32_t x = 5;
    for (std::size_t at = 4410; at < v.size();) {
        notes.push_back(static_cast<std::int64_t>(std::lround(static_cast<double>(at) * 60.0 / 44100.0)));
        x = x * 1664525u + 1013904223u;
        const std::size_t gap = 8820 + (x >> 8) % 11025;
        const double hz = 220.0 * std::pow(2.0, static_cast<double>((x >> 4) % 12) / 12.0);
        for (std::size_t i = 0; i < gap && at + i < v.size(); ++i)
            v[at + i] = 0.4 * std::exp(-static_cast<double>(i) / 8000.0) * std::sin(6.283185307179586 * hz * static_cast<double>(i) / 44100.0);
        at += gap;
    }
    const auto stage = stage_at(stereo(v), difficulty::hard);
    std::size_t arrivals = 0;
    for (std::int64_t t : stage_measure::arrival_ticks(stage)) {
        const auto it = std::lower_bound(notes.begin(), notes.end(), t - 2);
        EXPECT_TRUE(it != notes.end() && *it <= t + 2) << "a threat at tick " << t << " on no note";
        ++arrivals;
    }
    EXPECT_GT(arrivals, 60u);
}

// Loud and quiet parts of the same music: threats a second follow the
// loudness at every difficulty, the quiet parts far sparser; a held tone is
// a steady stream of single threats, never a burst or a long gap; digital
// silence carries nothing at all.
TEST(Dynamics, DensityFollowsLoudnessAndHeldSoundsStream) {
    namespace alt = song::alternating_sections;
    const auto alternating = song::render_alternating();
    const auto loudness = stage_measure::short_term_loudness(alternating, 2);
    const std::size_t seconds = loudness.size();
    for (difficulty d : {difficulty::easy, difficulty::normal, difficulty::hard}) {
        SCOPED_TRACE(converter::difficulty_name(d));
        const auto per_second = stage_measure::count_per_bin(stage_measure::arrival_ticks(stage_at(alternating, d)),
                                                             seconds, pattern::ticks_per_second);
        EXPECT_GE(stage_measure::spearman(per_second, loudness), 0.6);
        double loud = 0.0, quiet = 0.0;
        for (std::size_t s = 0; s < seconds; ++s) {
            const int in_cycle = static_cast<int>(s % alt::cycle);
            // Whole seconds away from the switches, where the 3 s windows reach across.
            if (in_cycle >= 1 && in_cycle < alt::loud - 1) loud += per_second[s];
            if (in_cycle >= alt::loud + 1 && in_cycle < alt::loud + alt::quiet - 1) quiet += per_second[s];
        }
        loud /= alt::loud - 2;
        quiet /= alt::quiet - 2;
        EXPECT_GT(loud, 0.0);
        EXPECT_LE(quiet, loud / 3) << "quiet " << quiet << ", loud " << loud;
    }

    // Where the quiet part has the more onsets, its seconds (away from the
    // switches, where the 3 s windows reach across) still carry fewer; easy's
    // few threats go to the loud part most of all.
    const auto busy = busy_quiet_turns(6);
    for (const auto& [d, most] : std::vector<std::pair<difficulty, double>>{
             {difficulty::easy, 1.0 / 3.0}, {difficulty::normal, 0.85}, {difficulty::hard, 0.85}}) {
        SCOPED_TRACE(testing::Message() << "busy quiet part, " << converter::difficulty_name(d));
        const auto per_second =
            stage_measure::count_per_bin(stage_measure::arrival_ticks(stage_at(busy, d)), 48, pattern::ticks_per_second);
        double loud = 0.0, quiet = 0.0;
        for (std::size_t s = 8; s < 48; s += 8) {
            loud += per_second[s + 1] + per_second[s + 2];
            quiet += per_second[s + 5] + per_second[s + 6];
        }
        EXPECT_LT(quiet, loud * most) << "quiet " << quiet << ", loud " << loud;
    }

    for (difficulty d : {difficulty::normal, difficulty::hard}) {
        SCOPED_TRACE(converter::difficulty_name(d));
        const auto on = arrivals_on_ticks(stage_at(drone(2.0, 20.0, 3.0), d), 25 * 60);
        // The held part, from after the attack to before the end.
        int last = -1, widest = 0, most = 0, count = 0;
        for (int t = 3 * 60; t < 21 * 60; ++t) {
            if (on[static_cast<std::size_t>(t)] == 0) continue;
            most = std::max(most, on[static_cast<std::size_t>(t)]);
            if (last >= 0) widest = std::max(widest, t - last);
            last = t;
            ++count;
        }
        EXPECT_GE(count, 18) << "at least one a second";
        EXPECT_EQ(most, 1) << "a stream, not a burst";
        EXPECT_LE(widest, 66) << "no gap of more than 1.1 s";
        for (int t = 0; t < 2 * 60; ++t) EXPECT_EQ(on[static_cast<std::size_t>(t)], 0) << t;
        for (int t = 22 * 60 + 5; t < 25 * 60; ++t) EXPECT_EQ(on[static_cast<std::size_t>(t)], 0) << t;
    }

    // In a quiet part, an easier stage's few threats go to the soft click a
    // listener hears before the held tone's stream beside it: no second
    // has a threat on the stream while its click has none.
    std::vector<std::int64_t> soft;
    const auto held = loud_and_held_turns(6, soft);
    for (difficulty d : {difficulty::easy, difficulty::normal}) {
        SCOPED_TRACE(testing::Message() << "held quiet part, " << converter::difficulty_name(d));
        std::vector<int> on_click(48, 0), beside(48, 0);
        for (std::int64_t t : stage_measure::arrival_ticks(stage_at(held, d))) {
            const auto it = std::lower_bound(soft.begin(), soft.end(), t - 2);
            (it != soft.end() && *it <= t + 2 ? on_click : beside)[static_cast<std::size_t>(t / 60)]++;
        }
        int streaming = 0;
        // The quiet parts after the first, from their second second (the
        // tone's start is an onset of its own).
        for (std::size_t s = 13; s < 48; s += (s % 8 == 7) ? 6 : 1) {
            EXPECT_FALSE(beside[s] > 0 && on_click[s] == 0) << "second " << s;
            streaming += beside[s];
        }
        if (d == difficulty::normal) {
            EXPECT_GT(streaming, 0) << "the tone streams";
        }
    }

    const auto silent = stage_at(std::vector<std::int16_t>(2 * 44100 * 10, 0), difficulty::hard);
    EXPECT_TRUE(silent[0].empty() && silent[1].empty());
}

namespace {

// A bar of four beats at 100 a minute (2.4 s, 144 ticks) as a count-in (a
// hat on every third of a beat), then `bars` identical bars:
// a kick on beats one and three, a snare on two and four, the hats louder on
// the off-beats, and a tom before the last beat.
constexpr int bar_ticks = 144;

std::vector<std::int16_t> count_in_and_bars(int bars) {
    const std::size_t eighth = 13230, length = 8 * eighth;
    std::uint32_t x = 99;
    auto hit = [&](std::vector<double>& bar, std::size_t at, double level, double hz, double decay) {
        for (std::size_t i = 0; at + i < length && i < 8000; ++i) {
            x = x * 1664525u + 1013904223u;
            const double noise = static_cast<double>(x >> 8) / 8388608.0 - 1.0;
            const double tone = hz > 0.0 ? std::sin(6.283185307179586 * hz * static_cast<double>(i) / 44100.0) : noise;
            bar[at + i] += level * std::exp(-static_cast<double>(i) / decay) * tone;
        }
    };
    std::vector<double> count_in(length, 0.0), bar(length, 0.0);
    for (std::size_t e = 0; e < 12; ++e) hit(count_in, e * length / 12, e % 3 ? 0.2 : 0.4, 0.0, 600.0);
    for (std::size_t e = 0; e < 8; ++e) hit(bar, e * eighth, e % 2 ? 0.25 : 0.12, 0.0, 250.0);
    for (std::size_t e : {0u, 4u}) hit(bar, e * eighth, 0.6, 60.0, 3000.0);
    for (std::size_t e : {2u, 6u}) hit(bar, e * eighth, 0.5, 0.0, 1500.0);
    hit(bar, 5 * eighth + eighth / 2, 0.4, 150.0, 2000.0);
    std::vector<double> song(count_in);
    for (int b = 0; b < bars; ++b) song.insert(song.end(), bar.begin(), bar.end());
    return stereo(song);
}

}  // namespace

// When the music repeats a bar, its threats fly again as they did the first
// time: each threat of a later bar has a partner in the same place of the
// third (the edition's bars may start up to an eighth after the music's, so
// the first one's downbeat falls in the count-in's or the bar before), of
// the same channel, angle and speed; and the bar is a pattern, not one
// flight over and over.
TEST(Dynamics, RepeatedBarsFlyTheirThreatsAgain) {
    constexpr int bars = 7;
    const auto music = count_in_and_bars(bars);
    const auto plan = converter::plan_dynamics(converter::wave_sample(44100, 2, music));
    EXPECT_GE(plan.repeats.size(), static_cast<std::size_t>(bars - 1)) << "the repeats are heard";
    for (difficulty d : {difficulty::normal, difficulty::hard}) {
        SCOPED_TRACE(converter::difficulty_name(d));
        const auto stage = stage_at(music, d);
        std::vector<stage_measure::bar_repeat> later;
        for (int b = 4; b <= bars; ++b) later.push_back({b * bar_ticks, bar_ticks, 3 * bar_ticks});
        const auto m = stage_measure::repeated_flights(stage, later, 1);
        EXPECT_GE(m.arrivals, static_cast<std::size_t>(bars - 3) * (d == difficulty::hard ? 12 : 4));
        EXPECT_GE(static_cast<double>(m.matching), 0.9 * static_cast<double>(m.arrivals))
            << m.matching << " of " << m.arrivals;
        std::vector<std::pair<float, float>> flights;
        for (const auto& group : stage)
            for (const bullet_pattern_element& e : group) {
                const std::int64_t at = e.time + converter::beat_flight_ticks(e.angle, e.speed);
                if (at >= 2 * bar_ticks && at < 3 * bar_ticks) flights.emplace_back(e.angle, e.speed);
            }
        std::sort(flights.begin(), flights.end());
        EXPECT_GE(std::unique(flights.begin(), flights.end()) - flights.begin(), 3);
    }
}

// Hits weigh most, digital silence nothing; loudness sets the levels.
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
    EXPECT_GT(plan.level[1], 4 * plan.level[4]);
    EXPECT_GT(plan.level[4], 0.0);
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
        EXPECT_EQ(a.level, b.level);
        EXPECT_EQ(a.weight, b.weight);
        ASSERT_EQ(a.moments.size(), b.moments.size());
        for (std::size_t m = 0; m < a.moments.size(); ++m) {
            EXPECT_EQ(a.moments[m].tick, b.moments[m].tick);
            EXPECT_EQ(a.moments[m].strength, b.moments[m].strength);
        }
    }
}

// Each event fires early by its flight, so that its bullet is back at the
// centre on the event's own tick; stronger events fly faster, every flight
// within the difficulty's span, each group in time order. An event too
// early for its flight flies the fastest, or is dropped when even that
// arrives late.
TEST(Dynamics, FiresEachEventEarlyByItsFlight) {
    // time, angle, strength
    const float right = 0.0f, down_right = 0.7853982f, up = -1.5707964f;
    converter::stage_events stage{{{30, up, 0.0f}, {100, up, 0.2f}, {150, right, 1.0f}, {150, down_right, 1.0f},
                                   {200, right, 0.0f}},
                                  {{100, up, 0.0f}, {230, down_right, 0.5f}}};
    const converter::stage_events before = stage;
    converter::finish_dynamics_stage(stage, difficulty::hard);
    const converter::dynamics_level level = converter::dynamics_level_of(difficulty::hard);
    ASSERT_EQ(stage[0].size(), 4u) << "the event at tick 30 cannot arrive in time";
    ASSERT_EQ(stage[1].size(), 2u);
    auto flight_of = [&](std::size_t g, float angle, std::int32_t was) {
        for (const bullet_pattern_element& e : stage[g]) {
            const int flight = converter::beat_flight_ticks(e.angle, e.speed);
            if (e.angle == angle && e.time + flight == was) return flight;
        }
        return -1;
    };
    for (std::size_t g = 0; g < stage.size(); ++g) {
        for (std::size_t i = 0; i + 1 < stage[g].size(); ++i) EXPECT_LE(stage[g][i].time, stage[g][i + 1].time);
        for (const bullet_pattern_element& b : before[g]) {
            if (b.time == 30) continue;
            const int flight = flight_of(g, b.angle, b.time);
            ASSERT_GE(flight, 0) << "group " << g << ", angle " << b.angle << ", time " << b.time;
            EXPECT_GE(flight, level.fastest * 60 - 3) << b.angle;
            EXPECT_LE(flight, level.slowest * 60 + 3) << b.angle;
        }
    }
    EXPECT_LE(flight_of(0, up, 100), 100) << "too early for its flight: flies the fastest";
    EXPECT_LT(flight_of(0, right, 150) + 10, flight_of(0, right, 200)) << "the strong fly faster";
    EXPECT_NEAR(flight_of(0, down_right, 150), flight_of(0, right, 150), 3) << "a diagonal as long as a straight line";
}

// A repeat's threats take the flights of its first time's, in order, per
// group; those it has more (a louder repeat) fly alike in every repeat;
// moments that repeat nothing keep their own.
TEST(Dynamics, RepeatsTakeTheirFirstTimesFlights) {
    // time, angle, strength (the speed field until the stage is finished)
    converter::stage_events stage{
        {{100, 0.1f, 0.3f}, {100, 0.2f, 0.7f}, {244, 1.1f, 0.5f}, {244, 1.2f, 0.6f}, {244, 1.3f, 0.9f},
         {300, 2.0f, 0.5f}, {388, 3.1f, 0.1f}, {388, 3.2f, 0.2f}, {388, 3.3f, 0.9f}},
        {{244, 4.0f, 0.5f}, {388, 5.0f, 0.5f}}};
    const converter::stage_events before = stage;
    // tick, threats, strength, the tick it repeats
    const converter::dynamics_slots slots{{{100, 2, 0.3f, -1}, {244, 3, 0.3f, 100}, {300, 1, 0.5f, -1},
                                           {388, 3, 0.3f, 100}},
                                          {{244, 1, 0.5f, 100}, {388, 1, 0.5f, 100}}};
    converter::repeat_flights(stage, slots);
    const auto& g = stage[0];
    for (std::size_t at : {2u, 6u})
        for (std::size_t k = 0; k < 2; ++k) {
            EXPECT_EQ(g[at + k].angle, g[k].angle) << at << " " << k;
            EXPECT_EQ(g[at + k].speed, g[k].speed) << at << " " << k;
        }
    EXPECT_EQ(g[4].angle, g[8].angle) << "a louder repeat's further threat";
    EXPECT_EQ(stage[1][0].angle, stage[1][1].angle) << "a group the first time had none in";
    for (std::size_t i : {0u, 1u, 5u}) {
        EXPECT_EQ(g[i].angle, before[0][i].angle) << i;
        EXPECT_EQ(g[i].speed, before[0][i].speed) << i;
    }
    for (std::size_t i = 0; i < g.size(); ++i) EXPECT_EQ(g[i].time, before[0][i].time) << i;
}

// The repeats' measure counts only places a flight could reach: a bar at
// the song's start whose first time came too early for any flight has
// nothing there to repeat.
TEST(Dynamics, RepeatedFlightsCountOnlyPlacesAFlightReaches) {
    const int flight = converter::beat_flight_ticks(0.0f, 5.0f);
    auto arriving = [&](int tick) { return bullet_pattern_element{tick - flight, 0.0f, 5.0f}; };
    // The first bar [100, 200) has one arrival, at 150; its repeat
    // [300, 400) has that one again at 350 and one at 320, whose place (120)
    // comes before any arrival.
    const stage_measure::groups stage{{arriving(150), arriving(320), arriving(350)}, {}};
    const auto m = stage_measure::repeated_flights(stage, {{300, 100, 100}}, 2);
    EXPECT_EQ(m.arrivals, 1u);
    EXPECT_EQ(m.matching, 1u);
}

// The edition's output is defined to the bit: its stages of two songs at
// every difficulty are those kept in tests/converter/golden/ (when a change
// to the edition is meant, its stage format version goes up in
// converter/editions.def and the file is written again:
// build/golden_stages tests/converter/golden/dynamics_stages.txt), with
// every transform kernel set this processor has.
TEST(Dynamics, StagesAreTheGoldenOnes) {
    std::ifstream in(VELMORA_GOLDEN_STAGES);
    ASSERT_TRUE(in) << VELMORA_GOLDEN_STAGES;
    const std::string kept{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    // The onsets' spectra are the converter's own transform: any kernel set.
    with_each_kernel_set([&] { EXPECT_EQ(golden_stages::digest_text(), kept); });
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
