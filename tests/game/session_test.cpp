// Stages one after another in one window and one process, as a library
// session plays them: each starts as a fresh game, a bad file comes back as
// a value, a recording made in a later stage replays exactly, and the sound
// effects follow the logic. The keys are the test's own array, set between
// frames through the stage's before_frame hook.
#include <SDL.h>
#include <SDL_mixer.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "game/ghost.hpp"
#include "game/replay_session.hpp"
#include "game/stage.hpp"
#include "game/watching.hpp"
#include "gametask/rng.hpp"
#include "gametask/schedulers.hpp"
#include "gametask/update_walk.hpp"
#include "pattern/pattern_loader.hpp"
#include "gametask/task_access.hpp"
#include "pattern/pattern_writer.hpp"
#include "results/replay_file.hpp"
#include "shell/effects.hpp"
#include "shell/keyboard.hpp"
#include "shell/music.hpp"
#include "shell/pattern_store.hpp"
#include "shell/sprites.hpp"
#include "shell/video.hpp"
#include "support/scratch.hpp"
#include "support/task_reset.hpp"

namespace {

namespace gt = gametask;

class session_environment : public ::testing::Environment {
public:
    void SetUp() override {
        audio = std::make_unique<vaz::xbass<audiolayer::playback::layer>>();
        ASSERT_EQ(open_game_window({false, 1}), "");
    }
    void TearDown() override {
        close_game_window();
        audio.reset();
    }

private:
    std::unique_ptr<vaz::xbass<audiolayer::playback::layer>> audio;
};

const ::testing::Environment* const the_session = ::testing::AddGlobalTestEnvironment(new session_environment);

// Bursts of tracers from wherever the ship stands, fast enough for a run of
// a few seconds; they come back past the ship, which grazes them.
std::vector<std::uint8_t> pattern_bytes(int groups, int events) {
    pattern::vector_sink out;
    pattern::writer w(out);
    w.group_count(static_cast<unsigned>(groups));
    for (int g = 0; g < groups; ++g) {
        for (int i = 0; i < events; ++i) w.record({3 + 6 * i + g, 0.7f * static_cast<float>(i + g), 8.0f});
        w.terminator();
    }
    return out.bytes;
}

// The first `rows` rows of the frame; a watched stage's corner, which says
// the speed and moment, lies below 400.
std::uint64_t frame_hash(int rows = screen_height) {
    SDL_Surface* s = window->surface_ptr;
    std::uint64_t h = 1469598103934665603ull;
    SDL_LockSurface(s);
    for (int y = 0; y < std::min(rows, s->h); ++y) {
        const auto* row = static_cast<const Uint8*>(s->pixels) + y * s->pitch;
        for (int i = 0; i < s->w * 4; ++i) h = (h ^ row[i]) * 1099511628211ull;
    }
    SDL_UnlockSurface(s);
    return h;
}

// Pixels of `rgb` in the strip where L's words are drawn, top left beside the counters.
int strip_pixels(Uint8 r, Uint8 g, Uint8 b) {
    SDL_Surface* s = window->surface_ptr;
    const Uint32 want = SDL_MapRGB(s->format, r, g, b);
    int n = 0;
    SDL_LockSurface(s);
    for (int y = 4; y < 14; ++y)
        for (int x = 110; x < 196; ++x) n += static_cast<const Uint32*>(s->pixels)[y * s->pitch / 4 + x] == want;
    SDL_UnlockSurface(s);
    return n;
}

// What a moment of a run is: the ship, the counters, every bullet and spark.
struct game_moment {
    float x = 0, y = 0;
    std::int32_t hits = -1, score = -1;
    int bullets = 0, sparks = 0;
    std::uint64_t drawn = 0;
    bool operator==(const game_moment& o) const {
        return x == o.x && y == o.y && hits == o.hits && score == o.score && bullets == o.bullets &&
               sparks == o.sparks && drawn == o.drawn;
    }
};

game_moment moment_now() {
    game_moment m;
    if (const gametask::myship* ship = gametask::first_live<gametask::myship>()) {
        m.x = ship->x;
        m.y = ship->y;
    }
    if (const gametask::game* g = gametask::first_live<gametask::game>()) {
        m.hits = g->hits;
        m.score = g->score;
    }
    m.bullets = test_support::live_count<gametask::bullet_r>(update_tasks) +
                test_support::live_count<gametask::bullet_b>(update_tasks) +
                test_support::live_count<gametask::bullet_echo>(update_tasks);
    m.sparks = test_support::live_count<gametask::spark>(update_tasks);
    m.drawn = frame_hash(400);
    return m;
}

void push_key_down(SDLKey key) {
    SDL_Event e{};
    e.type = SDL_KEYDOWN;
    e.key.type = SDL_KEYDOWN;
    e.key.state = SDL_PRESSED;
    e.key.keysym.sym = key;
    SDL_PushEvent(&e);
}

std::vector<char> file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::uint32_t replay_update_count_of(const std::string& file) {
    results::replay r;
    EXPECT_EQ(results::read_replay_file(file, r).status, results::replay_status::ok);
    return r.update_count;
}

class Session : public ::testing::Test {
protected:
    void SetUp() override {
        if (!sprite_sheet.surface_ptr) GTEST_SKIP() << "no sprite sheet found";
        saved_keys = key_state;
        key_state = keys;
        shell_test::write_wav(dir / "song.wav", 44100 * 3, [](std::uint32_t k) { return (k / 50) % 2 ? 3000 : -3000; });
        shell_test::write_bytes(dir / "one.pat", pattern_bytes(1, 3));
        shell_test::write_bytes(dir / "two.pat", pattern_bytes(2, 8));
    }
    void TearDown() override { key_state = saved_keys; }

    stage_request request(const std::string& pattern) {
        stage_request r;
        r.music_file = dir / "song.wav";
        r.pattern_file = dir / pattern;
        return r;
    }

    // The title's first frames as drawn, then Escape.
    std::vector<std::uint64_t> title_frames(int count) {
        std::vector<std::uint64_t> shown;
        int calls = 0;
        stage_request r = request("one.pat");
        r.before_frame = [&] {
            if (calls++ == 0) {
                // Nothing left of an earlier stage: the title over an empty field.
                EXPECT_EQ(test_support::live_count<gt::titleready>(update_tasks), 1);
                EXPECT_FALSE(gt::any_live<gt::bullet_r>() || gt::any_live<gt::bullet_b>() ||
                             gt::any_live<gt::bullet_echo>() || gt::any_live<gt::blood>() ||
                             gt::any_live<gt::spark>() || gt::any_live<gt::bombed>() || gt::any_live<gt::myship>());
                EXPECT_EQ(pattern_group_count, 1);
                EXPECT_EQ(pattern_groups[0].size(), 3u);
                EXPECT_EQ(pattern_groups[1].size(), 0u);
                for (int k = 0; k < key_count; ++k) ASSERT_FALSE(key_snapshot.get(k)) << "key " << k;
                return;
            }
            shown.push_back(frame_hash());
            if (static_cast<int>(shown.size()) == count) push_key_down(SDLK_ESCAPE);
        };
        EXPECT_EQ(play_stage(r).end, stage_end::left);
        return shown;
    }

    // Starts a run and steers about; with leave_run, Escape in
    // the middle of it, else plays it to its result screen, leaves that and
    // ends on the title.
    stage_outcome play_a_run(stage_request r, bool leave_run, int* frames_with_sound = nullptr, int steer = 15) {
        int f = 0, on_result = 0;
        r.before_frame = [&] {
            ++f;
            keys[SDLK_SPACE] = f == 5;
            const bool in_run = gt::any_live<gt::game>() && !gt::any_live<gt::gameover>();
            keys[SDLK_RIGHT] = in_run && (f / steer) % 3 == 1;
            keys[SDLK_UP] = in_run && (f / 20) % 4 == 2;
            if (frames_with_sound && Mix_Playing(-1) > 0) ++*frames_with_sound;
            if (gt::any_live<gt::gameover>()) ++on_result;
            keys[SDLK_RETURN] = gt::any_live<gt::gameover>() && on_result == 70;
            const bool done = leave_run ? f == 100 : on_result >= 70 && gt::any_live<gt::titleready>();
            if (done || f == 3000) push_key_down(SDLK_ESCAPE);
        };
        stage_outcome o = play_stage(r);
        for (Uint8& k : keys) k = 0;
        EXPECT_LT(f, 3000) << "the stage did not go as scripted";
        return o;
    }

    shell_test::scratch_dir dir;
    Uint8 keys[SDLK_LAST] = {};
    Uint8* saved_keys = nullptr;
};

}  // namespace

TEST_F(Session, EachStageInTheWindowStartsAsAFreshGameWould) {
    const std::vector<std::uint64_t> fresh = title_frames(10);
    const stage_outcome run = play_a_run(request("two.pat"), true);
    EXPECT_EQ(run.end, stage_end::left);
    EXPECT_TRUE(run.finished_runs.empty());
    EXPECT_TRUE(gt::any_live<gt::bullet_r>() || gt::any_live<gt::bullet_b>()) << "the run was left in full flight";
    EXPECT_EQ(music_stream, 0u) << "the stage's music is freed";
    EXPECT_EQ(title_frames(10), fresh);
}

TEST_F(Session, ABadFileIsAnOutcomeAndTheNextStagePlaysAndAClosedWindowQuits) {
    shell_test::write_bytes(dir / "bad.pat", {3});
    stage_outcome o = play_stage(request("bad.pat"));
    EXPECT_EQ(o.end, stage_end::failed);
    EXPECT_EQ(o.why, "pattern file \"" + dir / "bad.pat" + "\" announces 3 groups; it must be 1 or 2");
    EXPECT_EQ(music_stream, 0u);
    stage_request missing = request("one.pat");
    missing.music_file = dir / "none.wav";
    o = play_stage(missing);
    EXPECT_EQ(o.end, stage_end::failed);
    EXPECT_EQ(o.why, "cannot open music file \"" + dir / "none.wav" + "\": No such file or directory");
    EXPECT_EQ(title_frames(3).size(), 3u);

    // A closed window is not a player leaving the stage.
    stage_request closed = request("one.pat");
    closed.before_frame = [] {
        SDL_Event quit{};
        quit.type = SDL_QUIT;
        SDL_PushEvent(&quit);
        push_key_down(SDLK_ESCAPE);
    };
    EXPECT_EQ(play_stage(closed).end, stage_end::quit);
}

TEST_F(Session, ARecordingMadeInALaterStageReplaysExactlyWithItsSounds) {
    // The title demo first, which draws from the random generator.
    stage_request demo;
    int f = 0;
    demo.before_frame = [&] {
        if (++f == 40) push_key_down(SDLK_ESCAPE);
    };
    EXPECT_EQ(play_stage(demo).end, stage_end::left);

    stage_request record = request("two.pat");
    record.replay.record_given = true;
    record.replay.record_file = dir / "run.vrp";
    record.effects = 100;
    int sounding = 0;
    const stage_outcome played = play_a_run(record, false, &sounding);
    EXPECT_EQ(played.end, stage_end::left);
    ASSERT_EQ(played.finished_runs.size(), 1u);
    const results::run_summary& run = played.finished_runs[0];
    EXPECT_NE(run.end_update, 0u);
    EXPECT_GT(run.score, 0) << "grazes, each with a spark drawn from the random generator";
    EXPECT_GT(sounding, 0);

    stage_request replay = request("two.pat");
    replay.replay.replay_given = true;
    replay.replay.replay_file = dir / "run.vrp";
    replay.effects = 100;
    int replay_sounding = 0;
    replay.before_frame = [&] { replay_sounding += Mix_Playing(-1) > 0; };
    keys[SDLK_SPACE] = 1;  // a live key is not what the replay plays
    const stage_outcome again = play_stage(replay);
    keys[SDLK_SPACE] = 0;
    EXPECT_EQ(again.end, stage_end::replay_over);
    ASSERT_EQ(again.finished_runs.size(), 1u);
    const results::run_summary& replayed = again.finished_runs[0];
    EXPECT_EQ(replayed.start_update, run.start_update);
    EXPECT_EQ(replayed.result_update, run.result_update);
    EXPECT_EQ(replayed.end_update, run.end_update);
    EXPECT_EQ(replayed.hits, run.hits);
    EXPECT_EQ(replayed.score, run.score);
    EXPECT_GT(replay_sounding, 0) << "a replay plays its effects too";
    EXPECT_EQ(key_state, keys) << "the replay gave the keys back";
}

TEST_F(Session, CuedEffectsSoundOnTheirOwnChannelOnlyWhenTurnedOn) {
    ASSERT_EQ(start_effects(0), "");
    cue_effect(effect::graze);
    effects_after_update(1);
    EXPECT_EQ(Mix_Playing(-1), 0);
    ASSERT_EQ(start_effects(60), "");
    cue_effect(effect::hit);
    effects_after_update(1);
    EXPECT_EQ(Mix_Playing(static_cast<int>(effect::hit)), 1);
    EXPECT_EQ(Mix_Playing(static_cast<int>(effect::graze)), 0);
    stop_effects();
    EXPECT_EQ(Mix_Playing(-1), 0);
}

// A run recorded as the library screen records it (its offset and effects
// given, the gamepad's back button leaving, Return still held from choosing
// the song) and kept cut after that run replays as it was played, with the
// recorded offset.
TEST_F(Session, AKeptRunRecordedAsTheLibraryScreenPlaysReplaysExactly) {
    stage_request record = request("two.pat");
    record.replay.record_given = true;
    record.replay.record_file = dir / "session.vrp";
    record.offset_ms = 35;
    record.offset_given = true;
    record.effects = 60;
    record.volume = 80;
    record.gamepad_back_leaves = true;
    keys[SDLK_RETURN] = 1;
    const stage_outcome played = play_a_run(record, false);
    ASSERT_EQ(played.finished_runs.size(), 1u);

    results::replay kept;
    ASSERT_EQ(results::read_replay_file(dir / "session.vrp", kept).status, results::replay_status::ok);
    ASSERT_TRUE(results::cut_after_run(kept, 0));
    ASSERT_EQ(results::write_replay_file(dir / "best.vrp", kept), "");

    stage_request watch = request("two.pat");
    watch.replay.replay_given = true;
    watch.replay.replay_file = dir / "best.vrp";
    watch.offset_ms = 0;
    watch.offset_given = false;
    watch.effects = 60;
    watch.volume = 80;
    watch.gamepad_back_leaves = true;
    const stage_outcome again = play_stage(watch);
    ASSERT_EQ(again.finished_runs.size(), 1u);
    const results::run_summary& run = played.finished_runs[0];
    const results::run_summary& replayed = again.finished_runs[0];
    EXPECT_EQ(replayed.start_update, run.start_update);
    EXPECT_EQ(replayed.result_update, run.result_update);
    EXPECT_EQ(replayed.end_update, run.end_update);
    EXPECT_EQ(replayed.hits, run.hits);
    EXPECT_EQ(replayed.score, run.score);
}

// An alignment earlier than the music's start (past the catch-up limit) holds
// the music back: the first ticks run a frame at a time, none given up, and
// the replay keeps the player's offset alone.
TEST_F(Session, AnAlignmentBeforeTheMusicHoldsItBackAndIsNotRecorded) {
    stage_request record = request("two.pat");
    record.replay.record_given = true;
    record.replay.record_file = dir / "aligned.vrp";
    record.offset_ms = 35;
    record.offset_given = true;
    record.align_ms = -3500;
    const std::string log = dir / "sync.log";
    ::setenv("VELMORA_SYNC_LOG", log.c_str(), 1);
    const stage_outcome played = play_a_run(record, false);
    ::unsetenv("VELMORA_SYNC_LOG");
    ASSERT_EQ(played.finished_runs.size(), 1u);
    results::replay kept;
    ASSERT_EQ(results::read_replay_file(dir / "aligned.vrp", kept).status, results::replay_status::ok);
    EXPECT_EQ(kept.offset_ms, 35);

    std::ifstream in(log);
    std::string header;
    std::getline(in, header);
    long long frame, wall, following, updates, tick, lag, last_tick = 0, most_updates = 0, following_frames = 0;
    while (in >> frame >> wall >> following >> updates >> tick >> lag) {
        in.ignore(1 << 10, '\n');
        EXPECT_EQ(lag, 0) << "frame " << frame;
        if (following != 1) continue;
        ++following_frames;
        most_updates = std::max(most_updates, updates);
        last_tick = std::max(last_tick, tick);
    }
    ASSERT_GT(following_frames, 0) << "the music never led";
    // Without the hold the music's start is 210 ticks behind: past the
    // catch-up limit they would be given up (lag); a busy machine's own
    // stalls catch up a few ticks at a time.
    EXPECT_LT(most_updates, 60) << "the first ticks raced to catch the music";
    EXPECT_GT(last_tick, 3465 * 60 / 1000) << "the run ended before the music came in";
}

// The library screen's own stage: its run starts as soon as the title takes
// keys, the stage ends once the result screen would take keys (the run kept
// as one ended there), and the recording of it replays exactly.
TEST_F(Session, ALibraryRunStartsAtOnceAndEndsOnItsResult) {
    stage_request r = request("two.pat");
    r.start_at_once = true;
    r.end_after_run = true;
    r.replay.record_given = true;
    r.replay.record_file = dir / "at_once.vrp";
    int f = 0;
    bool result_shown = false;
    r.before_frame = [&] {
        ++f;
        result_shown = result_shown || gt::any_live<gt::gameover>();
        if (f == 3000) push_key_down(SDLK_ESCAPE);
    };
    const stage_outcome o = play_stage(r);
    EXPECT_EQ(o.end, stage_end::run_over);
    EXPECT_LT(f, 3000);
    ASSERT_EQ(o.finished_runs.size(), 1u);
    const results::run_summary& run = o.finished_runs[0];
    // Counted in updates, not drawn frames: a busy machine skips drawing.
    EXPECT_TRUE(result_shown);
    EXPECT_GE(run.end_update - run.result_update, 55u) << "the game's result screen shows for its wait";
    EXPECT_EQ(run.start_update, 4u) << "the title's first three updates take no keys; the fourth starts";
    EXPECT_NE(run.end_update, 0u);

    stage_request replay = request("two.pat");
    replay.replay.replay_given = true;
    replay.replay.replay_file = dir / "at_once.vrp";
    const stage_outcome again = play_stage(replay);
    ASSERT_EQ(again.finished_runs.size(), 1u);
    EXPECT_EQ(again.finished_runs[0].start_update, run.start_update);
    EXPECT_EQ(again.finished_runs[0].result_update, run.result_update);
    EXPECT_EQ(again.finished_runs[0].hits, run.hits);
    EXPECT_EQ(again.finished_runs[0].score, run.score);
}

// With a pause menu, Escape or P in a run pauses it and asks the menu:
// carrying on plays on, retry and leave end the stage; on the title Escape
// still leaves without asking.
TEST_F(Session, APauseMenuIsAskedInARunOnly) {
    for (const pause_choice last : {pause_choice::retry, pause_choice::leave}) {
        stage_request r = request("two.pat");
        r.start_at_once = true;
        std::vector<bool> asked_in_run;
        int f = 0;
        r.pause_menu = [&] {
            asked_in_run.push_back(gt::any_live<gt::game>() && !gt::any_live<gt::gameover>());
            keys[SDLK_p] = 0;
            return asked_in_run.size() == 1 ? pause_choice::carry_on : last;
        };
        r.before_frame = [&] {
            ++f;
            // Escape a little into the run, then P a little later.
            if (f == 30) push_key_down(SDLK_ESCAPE);
            keys[SDLK_p] = f == 60;
            if (f == 3000) push_key_down(SDLK_ESCAPE);
        };
        const stage_outcome o = play_stage(r);
        for (Uint8& k : keys) k = 0;
        EXPECT_EQ(o.end, last == pause_choice::retry ? stage_end::retry : stage_end::left);
        ASSERT_EQ(asked_in_run.size(), 2u);
        EXPECT_TRUE(asked_in_run[0] && asked_in_run[1]);
        EXPECT_TRUE(o.finished_runs.empty());
    }

    // On the title there is nothing to pause: Escape leaves.
    stage_request title = request("one.pat");
    int asked = 0, f = 0;
    title.pause_menu = [&] {
        ++asked;
        return pause_choice::carry_on;
    };
    title.before_frame = [&] {
        if (++f == 5) push_key_down(SDLK_ESCAPE);
    };
    EXPECT_EQ(play_stage(title).end, stage_end::left);
    EXPECT_EQ(asked, 0);
}

// A watched replay runs the recorded updates, only more or fewer of them per
// drawn frame: at 4x it ends in a quarter of the frames with the same runs.
// A jump walks there without drawing and shows what playing there shows;
// a step while paused runs exactly one update.
TEST_F(Session, AWatchedReplayRunsTheRecordedUpdatesAtAnySpeedAndFromAnyMoment) {
    // Bullets for six seconds: room to jump 5 s back within the session.
    shell_test::write_bytes(dir / "six.pat", pattern_bytes(2, 60));
    stage_request record = request("six.pat");
    record.replay.record_given = true;
    record.replay.record_file = dir / "watched.vrp";
    const stage_outcome played = play_a_run(record, false);
    ASSERT_EQ(played.finished_runs.size(), 1u);
    const results::run_summary& run = played.finished_runs[0];

    stage_request watch = request("six.pat");
    watch.replay.replay_given = true;
    watch.replay.replay_file = dir / "watched.vrp";
    watch.watch.on = true;
    // Frame by frame at 1x: the state after each number of updates.
    std::map<std::uint32_t, game_moment> at_1x;
    int frames_1x = 0, music_1x = 0, music_4x = 0;
    int amber_1x = 0;
    watch.before_frame = [&] {
        ++frames_1x;
        at_1x[session_updates_run()] = moment_now();
        music_1x += watched_music_playing();
        amber_1x += strip_pixels(255, 191, 0);
    };
    const stage_outcome watched_1x = play_stage(watch);
    EXPECT_EQ(watched_1x.end, stage_end::replay_over);
    const std::uint32_t updates = replay_update_count_of(dir / "watched.vrp");
    EXPECT_EQ(static_cast<std::uint32_t>(frames_1x), updates);

    watch.watch.speed = 400;
    int frames_4x = 0;
    watch.before_frame = [&] {
        ++frames_4x;
        music_4x += watched_music_playing();
    };
    const stage_outcome watched_4x = play_stage(watch);
    EXPECT_EQ(watched_4x.end, stage_end::replay_over);
    EXPECT_EQ(frames_4x, (frames_1x + 3) / 4);
    // The song is 3 s, shorter than the run: it sounds until it ends.
    EXPECT_GT(music_1x, 0) << "the music sounds at 1x";
    EXPECT_LE(music_1x, 195) << "no longer than the song";
    EXPECT_EQ(music_4x, 0) << "and not at 4x";
    for (const stage_outcome* o : {&watched_1x, &watched_4x}) {
        ASSERT_EQ(o->finished_runs.size(), 1u);
        EXPECT_EQ(o->finished_runs[0].start_update, run.start_update);
        EXPECT_EQ(o->finished_runs[0].result_update, run.result_update);
        EXPECT_EQ(o->finished_runs[0].end_update, run.end_update);
        EXPECT_EQ(o->finished_runs[0].hits, run.hits);
        EXPECT_EQ(o->finished_runs[0].score, run.score);
    }

    // From a moment 5 s past one in the run, paused at once and Left: back
    // there from the seed. Then one step.
    const std::uint32_t shown = run.start_update + 40;
    ASSERT_LT(shown + 300, updates) << "the recorded session is too short to jump about in";
    watch.watch.speed = 100;
    watch.watch.at_ms = (std::int64_t{shown} + 300) * 1000 / 60 + 1;
    std::vector<std::uint32_t> updates_seen;
    std::vector<game_moment> seen;
    int f = 0;
    watch.before_frame = [&] {
        ++f;
        updates_seen.push_back(session_updates_run());
        seen.push_back(moment_now());
        keys[SDLK_SPACE] = f == 1;
        keys[SDLK_LEFT] = f == 1;
        keys[SDLK_PERIOD] = f == 2 || f == 3;  // held: one step
        if (f == 5) push_key_down(SDLK_ESCAPE);
    };
    const stage_outcome jumped = play_stage(watch);
    for (Uint8& k : keys) k = 0;
    EXPECT_EQ(jumped.end, stage_end::left);
    ASSERT_EQ(updates_seen.size(), 5u);
    EXPECT_EQ(updates_seen, (std::vector<std::uint32_t>{shown + 300, shown, shown + 1, shown + 1, shown + 1}));
    EXPECT_TRUE(seen[1] == at_1x[shown]) << "the jump shows what playing there showed";
    EXPECT_TRUE(seen[2] == at_1x[shown + 1]) << "a step shows the next update";
    EXPECT_TRUE(seen[4] == at_1x[shown + 1]);
    EXPECT_NE(at_1x[shown].bullets + at_1x[shown + 40].bullets, 0) << "the moment compared is in the thick of the run";

    // L on a run with no -link=: it says the run is on no server, where nothing is drawn unasked.
    int amber_after_l = 0;
    f = 0;
    watch.before_frame = [&] {
        ++f;
        if (f == 3) amber_after_l = strip_pixels(255, 191, 0);
        keys[SDLK_SPACE] = f == 1;
        keys[SDLK_l] = f == 1;
        if (f == 4) push_key_down(SDLK_ESCAPE);
    };
    EXPECT_EQ(play_stage(watch).end, stage_end::left);
    for (Uint8& k : keys) k = 0;
    EXPECT_EQ(amber_1x, 0) << "nothing drawn there unasked";
    EXPECT_GT(amber_after_l, 20) << "L on a run on no server says so";

    // A moment past the end is refused before the window is used.
    watch.watch.at_ms = std::int64_t{updates} * 1000 / 60 + 100;
    const stage_outcome past = play_stage(watch);
    EXPECT_EQ(past.end, stage_end::failed);
    EXPECT_NE(past.why.find("is past the replay's end at"), std::string::npos) << past.why;
    // Nor is a watched replay recorded: a jump would walk its keys again.
    watch.watch.at_ms = 0;
    watch.replay.record_given = true;
    watch.replay.record_file = dir / "again.vrp";
    const stage_outcome recorded = play_stage(watch);
    EXPECT_EQ(recorded.end, stage_end::failed);
    EXPECT_EQ(recorded.why, "a replay being watched is not recorded");
}

// The figure for jumping about a three-minute run: the walk from the seed to
// its last moment, the longest a jump takes. Printed, not held to a time,
// since the machine may be busy.
TEST_F(Session, JumpingAboutAThreeMinuteRunWalksFromTheSeed) {
    constexpr std::uint32_t title_updates = 4, run_updates = 3 * 60 * 60;
    pattern::vector_sink out;
    pattern::writer w(out);
    // As dense as a converted stage: eight bullets an update in all.
    w.group_count(2);
    std::size_t events = 0;
    for (int g = 0; g < 2; ++g) {
        for (std::uint32_t t = 3; t < run_updates; ++t)
            for (int k = 0; k < 4; ++k, ++events)
                w.record({static_cast<int>(t), 0.37f * static_cast<float>((t * 4 + k) % 97), 4.0f + k + g});
        w.terminator();
    }
    shell_test::write_bytes(dir / "long.pat", out.bytes);
    results::replay r;
    r.seed = 12345;
    std::string why;
    ASSERT_TRUE(results::hash_file(dir / "long.pat", r.pattern, why)) << why;
    for (std::uint32_t u = 0; u < title_updates; ++u) results::append_update(r, 0);
    results::append_update(r, 1u << 2);  // Return: the run starts
    const std::uint32_t left = 1u << 5, right = 1u << 6, before = results::replay_key_count;
    for (std::uint32_t u = 0; u < run_updates; ++u) {
        const std::uint32_t now = (u / 90) % 2 ? left : right, then = (u == 0 ? 1u << 2 : ((u - 1) / 90) % 2 ? left : right);
        results::append_update(r, now | then << before);
    }
    ASSERT_EQ(results::write_replay_file(dir / "long.vrp", r), "");

    stage_request watch = request("long.pat");
    watch.replay.replay_given = true;
    watch.replay.replay_file = dir / "long.vrp";
    watch.watch.on = true;
    const std::uint32_t last = r.update_count - 1;
    double longest_ms = 0;
    std::uint32_t reached = 0;
    int bullets = 0;
    bool in_run = false;
    int f = 0;
    watch.before_frame = [&] {
        if (++f > 1) {
            push_key_down(SDLK_ESCAPE);
            return;
        }
        replay_jump_to(last);
        const auto start = std::chrono::steady_clock::now();
        replay_jump_to(0);
        reached = replay_jump_to(last);
        longest_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        in_run = gt::any_live<gt::game>() && !gt::any_live<gt::gameover>();
        bullets = test_support::live_count<gt::bullet_r>(update_tasks) + test_support::live_count<gt::bullet_b>(update_tasks);
        replay_jump_to(0);  // not at the end, which this frame's update would reach
    };
    EXPECT_EQ(play_stage(watch).end, stage_end::left);
    EXPECT_EQ(reached, last);
    EXPECT_TRUE(in_run) << "the walk is three minutes of play";
    EXPECT_GT(bullets, 0);
    std::printf("jump from 0:00.0 to %s of a replay of %u updates, %zu bullets fired: %.1f ms (%d in flight there)\n",
                results::watch_moment_text(last).c_str(), r.update_count, events, longest_ms, bullets);
}

// A window whose scale does not fit the desktop is made smaller.
// A session replayed and recorded again is the same bytes with another run
// raced beside it as without; the corner's line at the end is the two runs'
// final difference.
TEST_F(Session, AGhostChangesNothingOfTheRunItRaces) {
    stage_request mine = request("two.pat");
    mine.replay.record_given = true;
    mine.replay.record_file = dir / "mine.vrp";
    ASSERT_EQ(play_a_run(mine, false).finished_runs.size(), 1u);
    stage_request theirs = mine;
    theirs.replay.record_file = dir / "theirs.vrp";
    ASSERT_EQ(play_a_run(theirs, false, nullptr, 7).finished_runs.size(), 1u);

    auto record_again = [&](const std::string& out, const std::string& ghost) {
        stage_request r = request("two.pat");
        r.replay.replay_given = true;
        r.replay.replay_file = dir / "mine.vrp";
        r.replay.record_given = true;
        r.replay.record_file = dir / out;
        r.ghost = {ghost, "Mira #1"};
        return play_stage(r);
    };
    const stage_outcome plain = record_again("plain.vrp", "");
    EXPECT_EQ(ghost_line(), "");

    // Preparing a ghost puts back all the stage's start depends on.
    gt::reset_logic(7);
    ASSERT_EQ(load_pattern_file((dir / "two.pat").c_str(), pattern_groups, pattern_group_count).status,
              pattern_load_status::loaded);
    const std::mt19937 generator = rng;
    Uint8* const keys_in_use = key_state;
    ASSERT_EQ(prepare_ghost_for_stage({dir / "mine.vrp", ""}, dir / "two.pat"), "");
    EXPECT_TRUE(rng == generator);
    EXPECT_EQ(key_state, keys_in_use);
    EXPECT_FALSE(gt::any_live<gt::titleready>() || gt::any_live<gt::game>() || gt::any_live<gt::gameover>() ||
                 gt::any_live<gt::myship>() || gt::any_live<gt::bullet_r>() || gt::any_live<gt::spark>());
    EXPECT_EQ(pattern_group_count, 2);
    EXPECT_EQ(pattern_groups[1].size(), 8u);
    end_ghost();
    ghost_track unused;
    EXPECT_EQ(prepare_ghost({dir / "mine.vrp", "", 2}, dir / "two.pat", unused),
              "ghost replay \"" + dir / "mine.vrp" + "\" holds 1 finished run, not a run 2");

    const stage_outcome raced = record_again("raced.vrp", dir / "theirs.vrp");
    ASSERT_EQ(raced.end, stage_end::replay_over) << raced.why;
    ASSERT_EQ(raced.finished_runs.size(), 1u);
    EXPECT_EQ(file_bytes(dir / "raced.vrp"), file_bytes(dir / "plain.vrp"));

    results::replay ghost;
    ASSERT_EQ(results::read_replay_file(dir / "theirs.vrp", ghost).status, results::replay_status::ok);
    const results::run_summary& a = raced.finished_runs[0];
    const results::run_summary& b = ghost.finished_runs.at(0);
    EXPECT_TRUE(a.hits != b.hits || a.score != b.score) << "the two runs were steered otherwise";
    EXPECT_EQ(ghost_line(), ghost_difference_text(a.hits - b.hits, a.score - b.score, "Mira #1"));

    // The same ghost in a live run: prepared again from the kept record, the
    // stage's own start untouched.
    stage_request live = request("two.pat");
    live.ghost = {dir / "theirs.vrp", ""};
    const stage_outcome played = play_a_run(live, false);
    EXPECT_EQ(played.end, stage_end::left);
    EXPECT_NE(ghost_line().find(" vs theirs.vrp"), std::string::npos) << ghost_line();

    // A ghost that cannot be raced stops the stage before it starts.
    stage_request other = request("one.pat");
    other.ghost = {dir / "theirs.vrp", ""};
    const stage_outcome refused = play_stage(other);
    EXPECT_EQ(refused.end, stage_end::failed);
    EXPECT_EQ(refused.why, "ghost replay \"" + dir / "theirs.vrp" + "\" was played on another stage, not \"" +
                               dir / "one.pat" + "\"");
}

// Watching a run with itself as the ghost: at every update in play the
// ghost's ship stands where the watched ship does, a jump included.
TEST_F(Session, AGhostMovesAsTheRecordedShipMoved) {
    stage_request record = request("two.pat");
    record.replay.record_given = true;
    record.replay.record_file = dir / "run.vrp";
    ASSERT_EQ(play_a_run(record, false).finished_runs.size(), 1u);

    stage_request watch = request("two.pat");
    watch.replay.replay_given = true;
    watch.replay.replay_file = dir / "run.vrp";
    watch.watch.on = true;
    watch.watch.speed = 800;
    watch.watch.at_ms = 300;
    watch.ghost = {dir / "run.vrp", "your best"};
    int compared = 0;
    watch.before_frame = [&] {
        const gt::myship* ship = gt::first_live<gt::myship>();
        if (!ship || !gt::any_live<gt::game>() || gt::any_live<gt::gameover>()) return;
        float x = -1, y = -1;
        ASSERT_TRUE(ghost_ship_now(x, y)) << "update " << session_updates_run();
        EXPECT_EQ(x, ship->x) << "update " << session_updates_run();
        EXPECT_EQ(y, ship->y) << "update " << session_updates_run();
        ++compared;
    };
    EXPECT_EQ(play_stage(watch).end, stage_end::replay_over);
    EXPECT_GT(compared, 10);
    EXPECT_EQ(ghost_line(), "0 hits, 0 vs your best");
}

TEST(WindowScale, FitsTheDesktop) {
    EXPECT_GE(fitting_scale(1), 1);
    EXPECT_LE(fitting_scale(3), 3);
    EXPECT_LE(fitting_scale(2), fitting_scale(3));
}
