// A small bot plays whole stages of the bundled song headless: each update
// it steers the ship away from the incoming bullets nearest to it, and
// otherwise keeps moving (a ship that stands still is hit by every bullet it
// launched). The difficulty caps must let it avoid most bullets: on easy it
// is hit at most a quarter as often per minute as on hard.
#include "logic_fixture.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <iostream>
#include <vector>

#include "converter/convert.hpp"
#include "tools/measure/stage_measure.hpp"
#include "tools/song/song.hpp"

namespace logic_test {
namespace {

using vaz::tasksystem::node;

class DodgingBot : public frames {
protected:
    // Empty pools and a fresh title for the next stage, as SetUp left them.
    void reset() {
        test_support::kill_all(update_tasks);
        clear_pattern_groups();
        rng.seed(20240601u);
        std::fill(std::begin(keys), std::end(keys), 0);
        key_snapshot.clear();
        frame = 0;
    }

    struct outcome {
        int hits = 0;
        int frames = 0;
        std::size_t events = 0;
        double hits_per_minute() const { return hits * 3600.0 / frames; }
    };

    // Plays the stage from the title to its result screen.
    outcome play(const stage_measure::groups& stage) {
        outcome o;
        for (std::size_t g = 0; g < stage.size(); ++g) {
            for (const bullet_pattern_element& e : stage[g]) pattern_groups[g].push_back(e);
            o.events += stage[g].size();
        }
        at_title(static_cast<int>(stage.size()));
        press(SDLK_SPACE);
        const int limit = frame + 60 * 60 * 5;
        while (live<gt::gameover>() == 0 && frame < limit) {
            steer();
            step();
        }
        EXPECT_EQ(live<gt::gameover>(), 1) << "the run never reached its result screen";
        o.hits = first<gt::game>().hits;
        o.frames = frame;
        return o;
    }

    // Of the nine ways to move (or not), the one that takes the ship
    // furthest from the few incoming bullets nearest to it over the next
    // updates, as they and the ship move now; a little pull towards a point
    // circling the playfield keeps the ship on the move when none is near.
    void steer() {
        const gt::myship& ship = first<gt::myship>();
        const double centre = 220.0, orbit = 110.0, turn = 6.283185307179586 / 600.0;
        const double tx = centre + orbit * std::cos(turn * frame), ty = centre + orbit * std::sin(turn * frame);
        constexpr std::size_t watched = 3;
        constexpr int horizon = 8;
        std::vector<std::pair<float, const gt::bullet_r*>> near;
        for (node* n = update_tasks.begin<gt::bullet_r>(); n != update_tasks.end<gt::bullet_r>(); n = n->next) {
            const auto& b = object_of<gt::bullet_r>(n);
            near.emplace_back((b.x - ship.x) * (b.x - ship.x) + (b.y - ship.y) * (b.y - ship.y), &b);
        }
        const std::size_t count = std::min(watched, near.size());
        std::partial_sort(near.begin(), near.begin() + static_cast<std::ptrdiff_t>(count), near.end(),
                          [](const auto& a, const auto& b) { return a.first < b.first; });
        double best = 1e300;
        int best_dx = 0, best_dy = 0;
        for (int dx = -1; dx <= 1; ++dx) {
            for (int dy = -1; dy <= 1; ++dy) {
                double danger = 0.0;
                for (std::size_t i = 0; i < count; ++i) {
                    const gt::bullet_r& b = *near[i].second;
                    for (int k = 1; k <= horizon; ++k) {
                        const double sx = std::clamp(ship.x + static_cast<float>(dx * k), 0.0f, 440.0f);
                        const double sy = std::clamp(ship.y + static_cast<float>(dy * k), 0.0f, 440.0f);
                        const double ex = b.x + b.vx * k - sx, ey = b.y + b.vy * k - sy;
                        danger += 1.0 / (1.0 + ex * ex + ey * ey);
                    }
                }
                const double ax = ship.x + dx - tx, ay = ship.y + dy - ty;
                danger += 1e-6 * (ax * ax + ay * ay);
                if (danger < best) {
                    best = danger;
                    best_dx = dx;
                    best_dy = dy;
                }
            }
        }
        keys[SDLK_LEFT] = best_dx < 0;
        keys[SDLK_RIGHT] = best_dx > 0;
        keys[SDLK_UP] = best_dy < 0;
        keys[SDLK_DOWN] = best_dy > 0;
    }
};

stage_measure::groups stage_of(converter::edition ed, converter::difficulty d) {
    static const auto music = song::render(0);  // the bundled song, loud all through
    const converter::wave_sample source(44100, 2, music);
    pattern::vector_sink sink;
    converter::write_pattern(source, ed, d, sink, nullptr, 2);
    return *stage_measure::parse_stage(sink.bytes);
}

TEST_F(DodgingBot, IsHitFarLessOftenOnEasyThanOnHard) {
    using converter::difficulty;
    for (converter::edition ed : {converter::edition::dynamics, converter::edition::standard}) {
        const char* name = ed == converter::edition::dynamics ? "dynamics" : "standard";
        std::vector<outcome> runs;
        for (difficulty d : {difficulty::hard, difficulty::normal, difficulty::easy}) {
            reset();
            runs.push_back(play(stage_of(ed, d)));
            std::cout << name << " " << converter::difficulty_name(d) << ": " << runs.back().events << " events, "
                      << runs.back().hits << " hits in " << runs.back().frames << " updates, "
                      << runs.back().hits_per_minute() << " hits per minute\n";
        }
        ASSERT_GT(runs[0].hits, 10) << name << ": hard should hit even a moving ship";
        EXPECT_LE(runs[2].hits_per_minute(), runs[0].hits_per_minute() / 4) << name;
        EXPECT_LE(runs[1].hits_per_minute(), runs[0].hits_per_minute()) << name;
    }
}

}  // namespace
}  // namespace logic_test
