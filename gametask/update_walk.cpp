#include "gametask/update_walk.hpp"

#include "gametask/rng.hpp"
#include "gametask/schedulers.hpp"
#include "gametask/task_access.hpp"
#include "shell/gamepad.hpp"
#include "shell/keyboard.hpp"
#include "shell/pattern_store.hpp"

namespace gametask {

static_assert(results::replay_keys[0] == SDLK_SPACE && results::replay_keys[1] == SDLK_z &&
                  results::replay_keys[2] == SDLK_RETURN && results::replay_keys[3] == SDLK_UP &&
                  results::replay_keys[4] == SDLK_DOWN && results::replay_keys[5] == SDLK_LEFT &&
                  results::replay_keys[6] == SDLK_RIGHT && results::replay_keys[7] == SDLK_a &&
                  results::replay_keys[8] == SDLK_d && results::replay_keys[9] == SDLK_w &&
                  results::replay_keys[10] == SDLK_s,
              "the replay's keys are SDL 1.2 key symbols");

void reset_logic(std::uint32_t seed) {
    restart_logic(seed);
    for (pattern_group& g : pattern_groups) g.clear();
    pattern_group_count = 0;
}

void restart_logic(std::uint32_t seed) {
    update_tasks.reset();
    key_snapshot.clear();
    set_pad_keys({});
    rng.seed(seed);
}

void spawn_first_flow_task(bool demo) {
    if (demo) {
        update_tasks.spawn<titledemo>();
    } else {
        update_tasks.spawn<titleready>();
    }
}

std::uint32_t key_word_seen() {
    std::uint32_t word = 0;
    for (int i = 0; i < results::replay_key_count; ++i) {
        const int key = results::replay_keys[i];
        if (key_down(key)) word |= std::uint32_t{1} << i;  // a joystick's keys too
        if (key_snapshot.get(key)) word |= std::uint32_t{1} << (results::replay_key_count + i);
    }
    return word;
}

void put_key_word(std::uint32_t word, Uint8* keys) {
    vaz::xbasic_bitarray<void>& snapshot = key_snapshot;
    for (int i = 0; i < results::replay_key_count; ++i) {
        const int key = results::replay_keys[i];
        keys[key] = (word >> i) & 1u;
        snapshot.set(key, ((word >> (results::replay_key_count + i)) & 1u) != 0);
    }
}

run_watch::change run_watch::after_update(std::uint32_t update) {
    if (const game* g = first_live<game>()) {
        shown_hits_ = g->hits;
        shown_score_ = g->score;
    }
    const bool in_run = any_live<game>();
    if (in_run && !in_run_) run_start_ = update;
    in_run_ = in_run;
    const bool on_result = any_live<gameover>();
    change c = change::none;
    if (!on_result_ && on_result) {
        reach_result(update);
        c = change::result_reached;
    } else if (on_result_ && !on_result) {
        leave_result(update);
        c = change::result_left;
    }
    on_result_ = on_result;
    return c;
}

bool run_watch::end_session(std::uint32_t update) {
    if (!on_result_) return false;
    on_result_ = false;
    leave_result(update);
    return true;
}

void run_watch::reach_result(std::uint32_t update) {
    results::run_summary s;
    s.start_update = run_start_;
    s.result_update = update;
    s.hits = shown_hits_;
    s.score = shown_score_;
    finished_.push_back(s);
}

// The counters as the result screen last showed them: contacts keep counting there.
void run_watch::leave_result(std::uint32_t update) {
    results::run_summary& s = finished_.back();
    s.end_update = update;
    s.hits = shown_hits_;
    s.score = shown_score_;
}

}  // namespace gametask
