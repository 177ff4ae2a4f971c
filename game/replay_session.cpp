#include "game/replay_session.hpp"

#include <SDL.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <utility>

#include "game/ghost.hpp"
#include "gametask/rng.hpp"
#include "gametask/schedulers.hpp"
#include "gametask/update_walk.hpp"
#include "results/replay_file.hpp"
#include "shell/effects.hpp"
#include "shell/keyboard.hpp"
#include "vaz/limits.hpp"

namespace {

// What a replay still takes from the keyboard: quitting, and pausing.
constexpr int live_keys[] = {SDLK_ESCAPE, SDLK_p};

// Room for this many key changes before the recording first grows; enough
// for a long session without a reallocation during play.
constexpr std::size_t reserved_runs = 1 << 16;

struct session {
    bool active = false;

    bool recording = false;
    std::string record_file;
    results::replay recorded;
    bool write_failed = false;
    std::string write_error;  // the last failed write's message

    bool replaying = false;
    results::replay played;
    std::unique_ptr<results::replay_cursor> cursor;
    bool over = false;  // the last recorded update has run
    Uint8 replayed_keys[key_count] = {};
    Uint8* real_keys = nullptr;

    std::uint32_t updates = 0;  // run so far in this session
    gametask::run_watch runs;   // this session's, as the recording carries them
    bool quiet = false;         // a jump's walk: the runs it passes are not watched, so not said
};

session state;

// Gives the update bodies the real keys back after a replay; nothing of one
// stage's session reaches the next.
void forget_session() {
    if (state.replaying) key_state = state.real_keys;
    state = session{};
}

int fail(const std::string& what) {
    std::fprintf(stderr, "velmora: %s\n", what.c_str());
    return 1;
}

// Two names of one existing file (links included).
bool same_file(const std::string& a, const std::string& b) {
    struct stat sa {}, sb {};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

void put_key_word(std::uint32_t word) {
    gametask::put_key_word(word, state.replayed_keys);
    for (int key : live_keys) state.replayed_keys[key] = state.real_keys[key];
}

void write_recording(bool say_so) {
    const std::string error = results::write_replay_file(state.record_file, state.recorded);
    if (!error.empty()) {
        state.write_failed = true;
        state.write_error = "cannot write replay file \"" + state.record_file + "\": " + error;
        fail(state.write_error);
        return;
    }
    if (!say_so) return;
    const std::size_t runs = state.runs.finished().size();
    std::printf("velmora: wrote replay \"%s\": %zu run%s, %u updates, %zu bytes\n", state.record_file.c_str(),
                runs, runs == 1 ? "" : "s", state.recorded.update_count,
                results::encode_replay(state.recorded).size());
    std::fflush(stdout);
}

// A replay reproduces its runs exactly; one that does not is worth saying,
// as it means the game no longer plays the recording's way. Each figure
// that differs is named with both values, so a shifted start is not hidden
// behind equal counters.
void compare_with_recorded(const results::run_summary& now) {
    const std::size_t i = state.runs.finished().size() - 1;
    if (!state.replaying || i >= state.played.finished_runs.size()) return;
    const results::run_summary& then = state.played.finished_runs[i];
    const bool ended = now.end_update != 0 && then.end_update != 0;
    std::string differences;
    auto differ = [&](const char* what, long long a, long long b) {
        if (a == b) return;
        differences += (differences.empty() ? "" : "; ") + std::string(what) + " " + std::to_string(a) + ", recorded " +
                       std::to_string(b);
    };
    differ("started at update", now.start_update, then.start_update);
    differ("reached its result at update", now.result_update, then.result_update);
    if (ended) {
        differ("left its result at update", now.end_update, then.end_update);
        differ("hits", now.hits, then.hits);
        differ("score", now.score, then.score);
    }
    if (differences.empty() || state.quiet) return;
    std::fprintf(stderr, "velmora: run %zu of the replay went otherwise than recorded: %s (%d hits, score %d after %u updates)\n",
                 i + 1, differences.c_str(), now.hits, now.score, results::frames_played(now));
}

// Written at once, so a crash or a kill on the result screen keeps the run.
void reach_result() {
    compare_with_recorded(state.runs.finished().back());
    if (state.recording) {
        state.recorded.finished_runs = state.runs.finished();
        write_recording(false);
    }
}

void end_run() {
    const results::run_summary& s = state.runs.finished().back();
    compare_with_recorded(s);
    if (state.quiet) return;
    std::printf("velmora: run %zu ended: %d hits, score %d\n", state.runs.finished().size(), s.hits, s.score);
    std::fflush(stdout);
    if (state.recording) {
        state.recorded.finished_runs = state.runs.finished();
        write_recording(true);
    }
}

}  // namespace

std::string begin_replay_session(const replay_options& o, const std::string& music_file,
                                 const std::string& pattern_file, bool offset_given, int& offset_ms) {
    forget_session();
    if (!o.record_given && !o.replay_given) return {};
    if (o.record_given && o.record_file.empty()) return "-record= needs a file name";
    if (o.replay_given && o.replay_file.empty()) return "-replay= needs a file name";

    // The start-up has loaded the pattern file just before; its bytes name it
    // in the replay.
    results::file_hash pattern;
    std::string hash_error;
    if (!results::hash_file(pattern_file, pattern, hash_error)) {
        return "cannot read pattern file \"" + pattern_file + "\": " + hash_error;
    }

    std::uint32_t seed = rng_seed_from_clock();
    if (o.replay_given) {
        const results::replay_read_result read = results::read_replay_file(o.replay_file, state.played);
        if (read.status != results::replay_status::ok) return results::describe_replay_failure(o.replay_file, read);
        if (state.played.pattern != pattern) {
            return "replay \"" + o.replay_file + "\" was recorded on another pattern file, not \"" + pattern_file +
                   "\"";
        }
        // Offsets move updates against the music, never what they do, so
        // any offset replays the run; the recorded one unless another is asked.
        if (!offset_given) {
            if (!vaz::offset_ms_range.holds(state.played.offset_ms)) {
                return "replay \"" + o.replay_file + "\" was recorded with an offset of " +
                       std::to_string(state.played.offset_ms) + " ms, outside " + vaz::offset_ms_range.span() +
                       "; give -offset=";
            }
            offset_ms = state.played.offset_ms;
        }
        seed = state.played.seed;
        state.replaying = true;
        state.cursor = std::make_unique<results::replay_cursor>(state.played);
        // Every update body reads the keys through key_state, so pointing it
        // at the recorded state replays them everywhere.
        state.real_keys = key_state;
        key_state = state.replayed_keys;
    }
    if (o.record_given) {
        // A recording replaces its file: never one of the session's own inputs.
        const std::pair<std::string, const char*> inputs[] = {
            {music_file, "the music file"}, {pattern_file, "the pattern file"}, {o.replay_file, "the replay being played"}};
        for (const auto& [input, what] : inputs) {
            if (!input.empty() && same_file(o.record_file, input)) {
                return "will not record over \"" + o.record_file + "\": it is " + what;
            }
        }
        const std::string error = results::check_replay_destination(o.record_file);
        if (!error.empty()) return "cannot record to \"" + o.record_file + "\": " + error;
        state.recording = true;
        state.record_file = o.record_file;
        state.recorded.seed = seed;
        state.recorded.pattern = pattern;
        state.recorded.offset_ms = offset_ms;
        state.recorded.runs.reserve(reserved_runs);
    }
    // Nothing has drawn from the generator yet (the first draw is in an
    // update), so seeding it again here is as if it had been seeded so.
    rng.seed(seed);
    state.active = true;
    return {};
}

void replay_before_update() {
    if (!state.active) return;
    ++state.updates;
    if (state.replaying) {
        std::uint32_t word = 0;
        state.cursor->next(word);  // past the end: no key down, and the game is already quitting
        put_key_word(word);
        // The poll after this frame ends the stage.
        if (state.cursor->at_end()) state.over = true;
    }
    if (state.recording && !results::append_update(state.recorded, gametask::key_word_seen())) {
        // Over two years of updates: what was written so far stays.
        state.recording = false;
        fail("the recording of \"" + state.record_file + "\" is full; the rest of the session is not recorded");
    }
}

bool live_key_down(int key) { return state.replaying ? state.real_keys[key] == 1 : key_down(key); }

void replay_after_update() {
    ghost_after_update();
    if (!state.active) return;
    switch (state.runs.after_update(state.updates)) {
    case gametask::run_watch::change::result_reached: reach_result(); break;
    case gametask::run_watch::change::result_left: end_run(); break;
    case gametask::run_watch::change::none: break;
    }
}

bool replay_over() { return state.over; }

std::uint32_t session_updates_run() { return state.updates; }

std::uint32_t replay_update_count() { return state.replaying ? state.played.update_count : 0; }

std::optional<std::uint32_t> session_run_start() {
    if (!state.active || !state.runs.in_run()) return std::nullopt;
    return state.runs.run_start();
}

std::uint32_t replay_jump_to(std::uint32_t update) {
    if (!state.replaying || state.played.update_count == 0) return state.updates;
    update = std::min(update, state.played.update_count - 1);
    if (update < state.updates) {
        // The game is a function of the seed and the keys: the same walk
        // from the start reaches the same state.
        gametask::restart_logic(state.played.seed);
        gametask::spawn_first_flow_task(false);
        state.cursor = std::make_unique<results::replay_cursor>(state.played);
        state.updates = 0;
        state.over = false;
        state.runs = gametask::run_watch{};
    }
    state.quiet = true;
    while (state.updates < update) {
        replay_before_update();
        update_tasks.run();
        replay_after_update();
    }
    state.quiet = false;
    take_effect_cues();
    return state.updates;
}

void abandon_replay_session() { forget_session(); }

session_summary end_replay_session() {
    session_summary summary;
    if (state.active) {
        if (state.runs.end_session(state.updates)) end_run();
        if (state.recording && state.runs.finished().empty()) {
            std::printf("velmora: no run was finished, so \"%s\" was not written\n", state.record_file.c_str());
            std::fflush(stdout);
        }
        summary.write_failed = state.write_failed;
        summary.write_error = state.write_error;
        summary.finished = state.runs.finished();
    }
    forget_session();
    return summary;
}
