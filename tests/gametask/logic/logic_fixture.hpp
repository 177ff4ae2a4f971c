#pragma once
#include <gtest/gtest.h>

#include <SDL.h>

#include <initializer_list>
#include <stdexcept>

#include "gametask/rng.hpp"
#include "gametask/schedulers.hpp"
#include "playback_calls.hpp"
#include "shell/effects.hpp"
#include "shell/keyboard.hpp"
#include "shell/music.hpp"
#include "shell/pattern_store.hpp"
#include "support/task_reset.hpp"

namespace logic_test {

using vaz::tasksystem::node;
using vaz::tasksystem::object_of;
namespace gt = gametask;

inline void clear_pattern_groups() {
    for (pattern_group& g : pattern_groups) {
        for (bullet_pattern_element* chunk : g.chunks) delete[] chunk;
        g.chunks.clear();
        g.count = 0;
    }
    pattern_group_count = 0;
}

// The bit take_effect_cues() holds for e.
inline unsigned cue(effect e) { return 1u << static_cast<unsigned>(e); }

inline void fill_group(int g, std::initializer_list<bullet_pattern_element> events) {
    for (const bullet_pattern_element& e : events) pattern_groups[g].push_back(e);
}

// Drives whole frames the way the frame loop does: the update walk, then the
// key snapshot that the pump takes before the next frame's poll. Tests set
// keys[] between frames, as the poll would.
class frames : public ::testing::Test {
protected:
    void SetUp() override {
        saved_key_state = key_state;
        key_state = keys;
        key_snapshot.clear();
        test_support::kill_all(update_tasks);
        clear_pattern_groups();
        rng.seed(20240601u);
        saved_music_stream = music_stream;
        playback_calls().clear();
        take_effect_cues();
    }

    void TearDown() override {
        test_support::kill_all(update_tasks);
        clear_pattern_groups();
        key_state = saved_key_state;
        key_snapshot.clear();
        music_stream = saved_music_stream;
    }

    void step(int n = 1) {
        for (int i = 0; i < n; ++i) {
            update_tasks.run();
            for (int k = 0; k < key_count; ++k) key_snapshot.set(k, keys[k] == 1);
            ++frame;
        }
    }

    // Runs frames until the count of completed frames is f.
    void run_to(int f) {
        ASSERT_LE(frame, f);
        step(f - frame);
    }

    template <class T>
    T& spawn() {
        node* n = update_tasks.spawn<T>();
        EXPECT_NE(n, nullptr);
        return object_of<T>(n);
    }

    template <class T>
    int live() {
        return test_support::live_count<T>(update_tasks);
    }

    // The newest live task of T; the test stops with a failure if there is none.
    template <class T>
    T& first() {
        node* n = update_tasks.begin<T>();
        if (n == update_tasks.end<T>()) throw std::logic_error("no live task of the asked type");
        return object_of<T>(n);
    }

    // A task of T at (x, y) that moves by (vx, vy) in each update.
    template <class T>
    T& moving(float x, float y, float vx, float vy) {
        T& t = spawn<T>();
        t.x = x;
        t.y = y;
        t.vx = vx;
        t.vy = vy;
        return t;
    }

    gt::bullet_r& incoming(float x, float y, float vx = 0.0f, float vy = 0.0f) {
        return moving<gt::bullet_r>(x, y, vx, vy);
    }

    gt::bullet_b& tracer(float x, float y, float vx, float vy) { return moving<gt::bullet_b>(x, y, vx, vy); }

    // A run in play without its constructors: the game, the ship at the
    // centre and its face, spawned in the order the start key spawns them.
    gt::game& playing() {
        gt::game& run = spawn<gt::game>();
        spawn<gt::myship>();
        spawn<gt::smile>();
        return run;
    }

    // The title screen over `groups` pattern groups, past its updates that
    // ignore the keys: the next pressed key starts a run.
    void at_title(int groups) {
        pattern_group_count = groups;
        update_tasks.spawn<gt::titleready>();
        step(3);
    }

    // Holds key down for one frame, then releases it.
    void press(int key) {
        keys[key] = 1;
        step();
        keys[key] = 0;
    }

    Uint8 keys[SDLK_LAST] = {};
    Uint8* saved_key_state = nullptr;
    std::uint32_t saved_music_stream = 0;
    int frame = 0;  // frames completed
};

}  // namespace logic_test
