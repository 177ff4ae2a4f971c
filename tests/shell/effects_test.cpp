#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shell/effects.hpp"

namespace {

constexpr unsigned bit(effect e) { return 1u << static_cast<unsigned>(e); }

// Updates in frames: each inner list is one frame (empty: a frame that runs
// no update), each entry one update's cues.
using frames = std::vector<std::vector<unsigned>>;

// The updates (counted from 1) at which each cue sounded, as "kind@update".
std::vector<std::string> sounded(const frames& fs) {
    effect_gate gate;
    std::vector<std::string> out;
    std::int64_t update = 0;
    for (const auto& frame : fs) {
        gate.new_frame();
        for (unsigned cues : frame) {
            const unsigned played = gate.pass(cues, ++update);
            for (int k = 0; k < effect_count; ++k) {
                if (played & (1u << k)) out.push_back(std::to_string(k) + "@" + std::to_string(update));
            }
        }
    }
    return out;
}

}  // namespace

TEST(EffectGate, ALongGrazeIsATickTrainAndACatchUpFrameSoundsEachKindOnce) {
    const unsigned g = bit(effect::graze), h = bit(effect::hit), b = bit(effect::bomb), c = bit(effect::chain_burst);
    struct gate_case {
        frames in;
        std::vector<std::string> out;
    };
    const gate_case cases[] = {
        // A graze in every update, one update a frame: a tick every fourth.
        {{{g}, {g}, {g}, {g}, {g}, {g}, {g}, {g}, {g}}, {"0@1", "0@5", "0@9"}},
        // Ten updates in one frame: one tick, one hit.
        {{{g, g | h, g, g, g | h, g, g, g, g | h, g}}, {"0@1", "1@2"}},
        // Hits six updates apart at the least; bombs each time.
        {{{h}, {h}, {h | b}, {b}, {0}, {0}, {h}, {h}}, {"1@1", "2@3", "2@4", "1@7"}},
        // Kinds do not hold each other back; a chain waits like a hit.
        {{{g | h | b | c}, {c}, {0}, {0, 0}, {}, {0}, {c}}, {"0@1", "1@1", "2@1", "3@1", "3@7"}},
        {{{}, {0}}, {}},
    };
    for (const gate_case& gc : cases) EXPECT_EQ(sounded(gc.in), gc.out);
}
