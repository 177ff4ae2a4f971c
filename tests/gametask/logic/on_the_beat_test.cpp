// The dynamics edition fires each event early by its flight, so that its
// bullet crosses the playfield's centre on the beat it stands for; the
// converter computes that flight (converter::beat_flight_ticks) by the
// game's rules, checked here against the game itself. Then a simple mover
// (left for a second, right for a second, and again) plays whole stages of
// real-ish music headless: how often it is hit on each difficulty, and how
// soon after the music its runs end.
#include "logic_fixture.hpp"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <iterator>
#include <vector>

#include "converter/convert.hpp"
#include "converter/dynamics.hpp"
#include "tools/measure/stage_measure.hpp"
#include "tools/song/dynamics_song.hpp"
#include "tools/song/song.hpp"

namespace logic_test {
namespace {

using converter::difficulty;
using converter::edition;

class OnTheBeat : public frames {
protected:
    void reset() {
        test_support::kill_all(update_tasks);
        clear_pattern_groups();
        rng.seed(20240601u);
        std::fill(std::begin(keys), std::end(keys), 0);
        key_snapshot.clear();
        frame = 0;
    }

    // The update, counted from the constructor's first (clock 0), in which
    // the one event's incoming bullet is nearest to the playfield's centre.
    // No ship and no run: the tracer leaves from the centre and nothing
    // takes the bullet away.
    int nearest_update(const bullet_pattern_element& e) {
        reset();
        fill_group(0, {e});
        pattern_group_count = 1;
        spawn<gt::bullet_ctor>().group = 0;
        double nearest = 1e300;
        int at = -1;
        for (int clock = 0; clock < 60 * 60 && (live<gt::bullet_ctor>() + live<gt::bullet_b>() + live<gt::bullet_r>()) > 0;
             ++clock) {
            step();
            for (node* n = update_tasks.begin<gt::bullet_r>(); n != update_tasks.end<gt::bullet_r>(); n = n->next) {
                const auto& b = object_of<gt::bullet_r>(n);
                const double dx = b.x - 220.0, dy = b.y - 220.0;
                if (dx * dx + dy * dy < nearest) {
                    nearest = dx * dx + dy * dy;
                    at = clock;
                }
            }
        }
        return at;
    }

    struct outcome {
        int hits = 0;
        int frames = 0;  // from the start key to the result screen
        std::size_t events = 0;
        double hits_per_minute() const { return hits * 3600.0 / frames; }
    };

    // Left for `half` updates, right for as many, and so on (right first
    // when asked), from the start key to the result screen.
    outcome play(const stage_measure::groups& stage, int half = 60, bool right_first = false) {
        reset();
        outcome o;
        for (std::size_t g = 0; g < stage.size(); ++g) {
            for (const bullet_pattern_element& e : stage[g]) pattern_groups[g].push_back(e);
            o.events += stage[g].size();
        }
        at_title(static_cast<int>(stage.size()));
        press(SDLK_SPACE);
        const int start = frame;
        const int limit = frame + 60 * 60 * 5;
        while (live<gt::gameover>() == 0 && frame < limit) {
            const bool left = ((frame - start) / half % 2 == 0) != right_first;
            keys[SDLK_LEFT] = left;
            keys[SDLK_RIGHT] = !left;
            step();
        }
        EXPECT_EQ(live<gt::gameover>(), 1) << "the run never reached its result screen";
        keys[SDLK_LEFT] = keys[SDLK_RIGHT] = 0;
        o.hits = first<gt::game>().hits;
        o.frames = frame - start;
        return o;
    }
};

stage_measure::groups stage_of(const std::vector<std::int16_t>& music, edition ed, difficulty d) {
    const converter::wave_sample source(44100, 2, music);
    pattern::vector_sink sink;
    converter::write_pattern(source, ed, d, sink, nullptr, 2);
    return *stage_measure::parse_stage(sink.bytes);
}

// The bundled song, the dynamics song (loud, quiet, silent, crescendo) and
// the bundled song made to alternate.
struct piece {
    const char* name;
    std::vector<std::int16_t> music;
};
const std::vector<piece>& pieces() {
    static const std::vector<piece> all{{"bundled song", song::render(0)}, {"dynamics song", song::render_dynamics(0.0)},
                                         {"alternating song", song::render_alternating()}};
    return all;
}

}  // namespace

// The converter's flight is the game's, at every angle the converter aims
// and at slow and fast speeds.
TEST_F(OnTheBeat, TheConvertersFlightIsTheGames) {
    const float pi = 3.14159265f;
    for (int a = 0; a < 32; ++a) {
        for (float speed : {0.9f, 3.7f, 5.0f, 7.3f}) {
            const float angle = static_cast<float>(a) * pi / 16.0f - pi * 0.5f;
            const bullet_pattern_element e{37, angle, speed};
            const int flight = converter::beat_flight_ticks(angle, speed);
            EXPECT_EQ(nearest_update(e), 37 + flight) << "angle " << angle << ", speed " << speed;
        }
    }
    EXPECT_EQ(converter::beat_flight_ticks(0.0f, 0.0f), 3600) << "a bullet that never leaves counts for a minute";
}

// Every event of the dynamics edition arrives on its beat: on music that
// turns loud, quiet and silent, the arrivals follow the loudness second by
// second, none lands in digital silence and no flight takes much more than
// 2 s; where the music alternates, the shift that best aligns the loudness
// per 0.1 s with the arrivals per 0.1 s is under 0.3 s (0.5 s on easy). (The dynamics song's
// sections last 10 s and its beats are a strict grid: the alignment of its
// tenths is as good a beat early or late.)
TEST_F(OnTheBeat, DynamicsArrivalsFollowTheMusic) {
    for (const piece& p : {pieces()[1], pieces()[2]}) {
        const bool alternates = p.name == pieces()[2].name;
        const auto level = stage_measure::loudness_per_tenth(p.music, 2);
        const auto loudness = stage_measure::short_term_loudness(p.music, 2);
        for (difficulty d : {difficulty::easy, difficulty::normal, difficulty::hard}) {
            SCOPED_TRACE(std::string(p.name) + ", " + converter::difficulty_name(d));
            const auto stage = stage_of(p.music, edition::dynamics, d);
            const auto arrivals = stage_measure::arrival_ticks(stage);
            ASSERT_GT(arrivals.size(), 50u);
            const auto per_tenth = stage_measure::count_per_bin(arrivals, level.size(), 6);
            const double shift = 0.1 * stage_measure::best_shift(level, per_tenth, 100);
            const auto per_second = stage_measure::count_per_bin(arrivals, loudness.size(), 60);
            const double rank = stage_measure::spearman(per_second, loudness);
            const std::size_t silent = stage_measure::ticks_in_digital_silence(arrivals, p.music, 2);
            std::cout << p.name << ", dynamics " << converter::difficulty_name(d) << ": " << arrivals.size()
                      << " events, best shift " << shift << " s, spearman " << rank << ", in silence " << silent
                      << "\n";
            if (alternates) {
                // Easy's few threats (one every second or two) align the tenths more loosely.
                EXPECT_LT(std::fabs(shift), d == difficulty::easy ? 0.5 : 0.3);
            }
            EXPECT_GE(rank, 0.6);
            EXPECT_EQ(silent, 0u);
            for (const auto& g : stage)
                for (const bullet_pattern_element& e : g) ASSERT_LE(converter::beat_flight_ticks(e.angle, e.speed), 125);
        }
    }
}

// A newcomer's mover is hit at most 30 times a minute on normal and 10 on
// easy; hard hits it at least three times as often as normal. Every run ends
// within 3 s of its music.
//
// The dynamics song's hits fall on a strict grid of beats and its mover
// turns on the same grid, so the mover meets a beat's bullets only when
// their flight is a whole or half second: for it the ratio is that of the
// mean over movers of other periods and phases.
TEST_F(OnTheBeat, ASimpleMoverIsHitRarelyOnEasyAndNormal) {
    for (const piece& p : pieces()) {
        const bool grid_locked = p.name == pieces()[1].name;
        std::vector<double> per_minute, mean;
        for (difficulty d : {difficulty::easy, difficulty::normal, difficulty::hard}) {
            const auto stage = stage_of(p.music, edition::dynamics, d);
            const outcome o = play(stage);
            double sum = 0.0;
            int runs = 0;
            for (int half : {40, 50, 60, 70, 80})
                for (bool right_first : {false, true}) {
                    sum += play(stage, half, right_first).hits_per_minute();
                    ++runs;
                }
            per_minute.push_back(o.hits_per_minute());
            mean.push_back(sum / runs);
            const double music_seconds = static_cast<double>(p.music.size() / 2 / 44100);
            std::cout << p.name << ", dynamics " << converter::difficulty_name(d) << ": " << o.events << " events, "
                      << o.hits << " hits in " << o.frames / 60.0 << " s, " << o.hits_per_minute()
                      << " hits per minute (movers of other periods: " << mean.back()
                      << "); the run ends " << o.frames / 60.0 - music_seconds << " s after the music\n";
            EXPECT_LE(o.frames, (music_seconds + 3.0) * 60.0) << p.name << " " << converter::difficulty_name(d);
        }
        EXPECT_LE(per_minute[0], 10.0) << p.name;
        EXPECT_LE(per_minute[1], 30.0) << p.name;
        if (grid_locked) {
            EXPECT_GE(mean[2], 3.0 * mean[1]) << p.name;
        } else {
            EXPECT_GE(per_minute[2], 3.0 * per_minute[1]) << p.name;
        }
        EXPECT_GT(mean[2], 0.0) << p.name;
    }
}

}  // namespace logic_test
