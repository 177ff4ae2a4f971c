#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "converter/convert.hpp"
#include "converter/difficulty.hpp"
#include "converter/dynamics.hpp"
#include "tools/measure/stage_measure.hpp"
#include "tools/song/dynamics_song.hpp"

using converter::difficulty;
using converter::edition;
using converter::stage_caps;

namespace {

// An event whose angle names it, so a test can follow it.
bullet_pattern_element ev(std::int32_t time, float speed, float name) { return {time, name, speed}; }

std::vector<std::vector<float>> names_of(const converter::stage_events& groups) {
    std::vector<std::vector<float>> out;
    for (const auto& g : groups) {
        out.emplace_back();
        for (const auto& e : g) out.back().push_back(e.angle);
    }
    return out;
}

}  // namespace

TEST(Difficulty, NamesAndFlightTimes) {
    for (difficulty d : {difficulty::easy, difficulty::normal, difficulty::hard})
        EXPECT_EQ(converter::difficulty_from_name(converter::difficulty_name(d)), d);
    EXPECT_FALSE(converter::difficulty_from_name("Easy"));
    EXPECT_FALSE(converter::difficulty_from_name(""));
    // 660 pixels at the speed, rounded up; too slow to leave, a minute.
    EXPECT_EQ(converter::flight_ticks(5.0f), 132);
    EXPECT_EQ(converter::flight_ticks(-2.5f), 264);
    EXPECT_EQ(converter::flight_ticks(0.7f), 943);
    EXPECT_EQ(converter::flight_ticks(0.0f), 3600);
    EXPECT_EQ(converter::flight_ticks(std::numeric_limits<float>::quiet_NaN()), 3600);
}

TEST(Difficulty, ThinStageKeepsTheStrongestThatFit) {
    struct row {
        const char* what;
        stage_caps caps;
        converter::stage_events stage;
        std::vector<std::vector<float>> kept;
    };
    const std::vector<row> rows = {
        {"no caps keep everything", {1, 0, 0}, {{ev(0, 1, 0), ev(0, 1, 1)}, {ev(3, 2, 10)}}, {{0, 1}, {10}}},
        {"two a second, the fastest of both groups",
         {1, 2, 0},
         {{ev(0, 1, 0), ev(10, 3, 1), ev(20, 2, 2), ev(60, 1, 3)}, {ev(5, 3, 10)}},
         {{1, 3}, {10}}},
        {"equal speeds: the earlier tick, then the first group",
         {1, 2, 0},
         {{ev(10, 3, 0), ev(30, 3, 1)}, {ev(10, 3, 10), ev(20, 3, 11)}},
         {{0}, {10}}},
        // Speed 5 flies 132 ticks: the second launch would make two at once.
        {"one on the playfield", {1, 0, 1}, {{ev(0, 5, 0), ev(60, 5, 1), ev(132, 5, 2)}}, {{0, 2}}},
        // The slow one launched first would be a third on the playfield
        // when the one at tick 40, already kept, is launched.
        {"a weaker earlier launch may not overfill a later one",
         {1, 0, 2},
         {{ev(0, 3, 0), ev(30, 5, 1), ev(40, 4, 2)}},
         {{1, 2}}},
        // Three a second, one in two: 1, then 2 with the half carried over.
        {"one in two, the fraction carried",
         {2, 0, 0},
         {{ev(0, 1, 0), ev(1, 2, 1), ev(2, 3, 2), ev(60, 1, 3), ev(61, 3, 4), ev(62, 2, 5)}},
         {{2, 4, 5}}},
    };
    for (const row& r : rows) {
        converter::stage_events stage = r.stage;
        converter::thin_stage(stage, r.caps);
        EXPECT_EQ(names_of(stage), r.kept) << r.what;
    }
}

// On whole converted songs every cap holds, tick by tick, and the kept events
// are the hard stage's, in its order. The dynamics edition counts its caps in
// music time, where each event's bullet crosses the playfield's centre
// (converter/dynamics.hpp): there its kept events are the hard stage's (the
// same angle on the same beat), only their speeds are the difficulty's.
TEST(Difficulty, CapsHoldOnConvertedStages) {
    const auto music = song::render_dynamics(0.0);
    const converter::wave_sample source(44100, 2, {music.begin(), music.begin() + 2 * 44100 * 30});
    for (edition ed : {edition::standard, edition::dynamics}) {
        const bool on_the_beat = ed == edition::dynamics;
        auto stage = [&](difficulty d) {
            pattern::vector_sink sink;
            converter::write_pattern(source, ed, d, sink, nullptr, 2);
            return *stage_measure::parse_stage(sink.bytes);
        };
        auto beat = [&](const bullet_pattern_element& e) -> std::int64_t {
            return on_the_beat ? e.time + converter::beat_flight_ticks(e.angle, e.speed) : e.time;
        };
        const auto hard = stage(difficulty::hard);
        std::size_t previous = 0;
        for (difficulty d : {difficulty::easy, difficulty::normal}) {
            const stage_caps caps = converter::caps_of(d);
            const auto capped = stage(d);
            const std::string what = std::string(on_the_beat ? "dynamics " : "standard ") +
                                     converter::difficulty_name(d);
            std::vector<int> per_second(32, 0), in_flight(32 * 60 + 3600, 0);
            std::size_t events = 0;
            for (std::size_t g = 0; g < capped.size(); ++g) {
                std::size_t at = 0;
                std::vector<std::pair<std::int64_t, float>> hard_beats;
                for (const auto& e : hard[g]) hard_beats.emplace_back(beat(e), e.angle);
                for (const auto& e : capped[g]) {
                    ++events;
                    if (on_the_beat) {
                        // Out to the edge and back across: half as long again as its flight.
                        const int flight = converter::beat_flight_ticks(e.angle, e.speed);
                        for (int t = e.time; t < e.time + flight * 3 / 2; ++t) ++in_flight[static_cast<std::size_t>(t)];
                        // An event of the first seconds fires at tick 0, later than its flight asks.
                        if (e.time == 0) continue;
                        ++per_second[static_cast<std::size_t>(beat(e) / 60)];
                        const auto found = std::find(hard_beats.begin(), hard_beats.end(), std::make_pair(beat(e), e.angle));
                        EXPECT_NE(found, hard_beats.end()) << what << ": an event the hard stage lacks";
                        if (found != hard_beats.end()) found->first = -1;  // each once
                        continue;
                    }
                    ++per_second[static_cast<std::size_t>(e.time / 60)];
                    for (int t = e.time; t < e.time + converter::flight_ticks(e.speed); ++t) ++in_flight[static_cast<std::size_t>(t)];
                    while (at < hard[g].size() && std::memcmp(&hard[g][at], &e, sizeof e) != 0) ++at;
                    EXPECT_LT(at, hard[g].size()) << what << ": an event the hard stage lacks, or out of order";
                }
            }
            EXPECT_LE(*std::max_element(per_second.begin(), per_second.end()), static_cast<int>(caps.per_second)) << what;
            EXPECT_LE(*std::max_element(in_flight.begin(), in_flight.end()), static_cast<int>(caps.in_flight)) << what;
            EXPECT_GT(events, previous) << what << ": normal keeps more than easy";
            previous = events;
        }
        EXPECT_GT(hard[0].size() + hard[1].size(), previous);
    }
}
