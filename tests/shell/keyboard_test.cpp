// Key edges as the update bodies see them: each test points key_state at an
// array of its own and takes one pump_input per frame, as the frame loop does.
#include <gtest/gtest.h>

#include <array>

#include "shell/keyboard.hpp"

namespace {

class KeyEdges : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = key_state;
        key_state = keys_.data();
        end_frame();  // a clean "before": nothing held
    }
    void TearDown() override {
        key_state = saved_;
        key_snapshot.clear();
    }

    // What happens between two updates: the snapshot is taken, events pumped.
    void end_frame() { pump_input(); }

    void hold(int key) { keys_[key] = 1; }
    void let_go(int key) { keys_[key] = 0; }

    static void expect_edge(int key, bool down, bool pressed, bool released) {
        const key_edge e = query_key(key);
        EXPECT_EQ(e.down, down) << "key " << key;
        EXPECT_EQ(e.pressed, pressed) << "key " << key;
        EXPECT_EQ(e.released, released) << "key " << key;
    }

    std::array<Uint8, key_count> keys_{};
    Uint8* saved_ = nullptr;
};

}  // namespace

TEST_F(KeyEdges, UntouchedKeyShowsNothing) {
    expect_edge(SDLK_SPACE, false, false, false);
    end_frame();
    expect_edge(SDLK_SPACE, false, false, false);
}

TEST_F(KeyEdges, HeldKeyIsPressedInOneFrameAndDownInEvery) {
    hold(SDLK_SPACE);
    expect_edge(SDLK_SPACE, true, true, false);
    for (int frame = 0; frame < 3; ++frame) {
        end_frame();
        expect_edge(SDLK_SPACE, true, false, false);
    }
}

TEST_F(KeyEdges, ReleaseShowsInOneFrameOnly) {
    hold(SDLK_z);
    end_frame();
    end_frame();
    let_go(SDLK_z);
    expect_edge(SDLK_z, false, false, true);
    end_frame();
    expect_edge(SDLK_z, false, false, false);
}

TEST_F(KeyEdges, TwoKeysOfOneDirectionAreIndependentSoTheirOrStaysOn) {
    const auto left_held = [] { return query_key(SDLK_LEFT).down || query_key(SDLK_a).down; };
    hold(SDLK_LEFT);
    hold(SDLK_a);
    expect_edge(SDLK_LEFT, true, true, false);
    expect_edge(SDLK_a, true, true, false);
    EXPECT_TRUE(left_held());
    end_frame();
    let_go(SDLK_LEFT);
    expect_edge(SDLK_LEFT, false, false, true);
    expect_edge(SDLK_a, true, false, false);
    EXPECT_TRUE(left_held());
    end_frame();
    let_go(SDLK_a);
    EXPECT_FALSE(left_held());
    expect_edge(SDLK_a, false, false, true);
}

TEST_F(KeyEdges, SnapshotCopiesEveryKeyAcrossWordBoundaries) {
    for (int k : {0, 31, 32, 63, 64, int{SDLK_UP}, key_count - 1}) hold(k);
    end_frame();
    for (int k = 0; k < key_count; ++k) {
        const bool held = keys_[k] == 1;
        EXPECT_EQ(key_snapshot.get(k), held) << "key " << k;
    }
}

// A frame that catches up runs several updates: the press shows in the first
// only. A frame that runs none keeps its edges for the next that does.
TEST_F(KeyEdges, PressShowsInExactlyOneOfSeveralUpdatesAndSurvivesAFrameWithNone) {
    hold(SDLK_SPACE);
    expect_edge(SDLK_SPACE, true, true, false);
    settle_keys();
    expect_edge(SDLK_SPACE, true, false, false);
    settle_keys();
    expect_edge(SDLK_SPACE, true, false, false);

    let_go(SDLK_SPACE);
    pump_input_keeping_edges();  // a frame with no update
    pump_input_keeping_edges();
    expect_edge(SDLK_SPACE, false, false, true);
}
