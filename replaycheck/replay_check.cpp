#include "replaycheck/replay_check.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <istream>
#include <streambuf>

#include "audiolayer/regular_file.hpp"
#include "gametask/schedulers.hpp"
#include "gametask/task_access.hpp"
#include "gametask/update_walk.hpp"
#include "pattern/pattern_loader.hpp"
#include "shell/effects.hpp"
#include "shell/keyboard.hpp"
#include "shell/pattern_store.hpp"

namespace replaycheck {

namespace {

// Reads bytes in place, without a copy.
class byte_source : public std::streambuf {
public:
    byte_source(const std::uint8_t* bytes, std::size_t size) {
        char* begin = const_cast<char*>(reinterpret_cast<const char*>(bytes));
        setg(begin, begin, begin + size);
    }
};

std::string mib(std::size_t bytes) { return std::to_string(bytes >> 20) + " MiB"; }

std::string describe_replay(const results::replay_read_result& r) {
    switch (r.status) {
    case results::replay_status::ok: return {};
    case results::replay_status::cannot_open:
    case results::replay_status::read_error: return "the replay cannot be read: " + r.detail;
    case results::replay_status::too_large:
        return "the replay is too large to be one (over " + mib(results::replay_max_file_size) + ")";
    case results::replay_status::empty: return "the replay is empty";
    case results::replay_status::foreign: return "the replay is not a velmora replay file";
    case results::replay_status::newer_version:
        return "the replay has format version " + r.detail + ", newer than this verifier's " +
               std::to_string(results::replay_version);
    case results::replay_status::truncated: return "the replay is cut short: " + r.detail;
    case results::replay_status::damaged: return "the replay is damaged: " + r.detail;
    }
    return "the replay cannot be read";
}

std::string describe_stage(const pattern_load_result& r) {
    const std::string not_stage = "the stage is not a pattern file: ";
    switch (r.status) {
    case pattern_load_status::loaded: return {};
    case pattern_load_status::empty: return "the stage is empty";
    case pattern_load_status::bad_group_count:
        return not_stage + "it announces " + std::to_string(r.count_byte) + " groups, not 1 or 2";
    case pattern_load_status::cut_in_record:
        return not_stage + "it ends inside a record of group " + std::to_string(r.group + 1);
    case pattern_load_status::missing_terminator:
        return not_stage + "it ends before the terminator of group " + std::to_string(r.group + 1);
    case pattern_load_status::cannot_open:
    case pattern_load_status::read_error: break;
    }
    return "the stage cannot be read";
}

std::string updates_text(std::uint32_t n) { return std::to_string(n) + (n == 1 ? " update" : " updates"); }

// The first field of run `number` that the re-play does not reach as
// recorded, as "run N: FIELD: recorded X, replayed Y"; empty when all match.
// A run still on its result screen when it was recorded (no leave update)
// is compared as the game wrote it then.
std::string first_difference(std::size_t number, const results::run_summary& recorded,
                             const results::run_summary& replayed) {
    const std::string run = "run " + std::to_string(number) + ": ";
    auto differs = [&](const char* field, std::int64_t then, std::int64_t now) {
        return run + field + ": recorded " + std::to_string(then) + ", replayed " + std::to_string(now);
    };
    if (recorded.start_update != replayed.start_update)
        return differs("start update", recorded.start_update, replayed.start_update);
    if (recorded.result_update != replayed.result_update)
        return differs("updates played", results::frames_played(recorded), results::frames_played(replayed));
    if (recorded.end_update != 0 && recorded.end_update != replayed.end_update)
        return differs("result screen left at update", recorded.end_update, replayed.end_update);
    if (recorded.hits != replayed.hits) return differs("hits", recorded.hits, replayed.hits);
    if (recorded.score != replayed.score) return differs("score", recorded.score, replayed.score);
    return {};
}

// The game's update walk over the recorded updates, from a fresh start,
// until a run comes out otherwise than listed: its start or result update
// when it shows its result, the rest when it leaves it, or no result shown
// (or not left) by the update listed for it.
void play_again(const results::replay& r, check_result& out, const update_observer& observe) {
    static Uint8 keys[key_count];
    std::memset(keys, 0, sizeof keys);
    Uint8* const saved_keys = key_state;
    key_state = keys;

    const std::vector<results::run_summary>& listed = r.finished_runs;
    gametask::run_watch watch;
    results::replay_cursor cursor(r);
    std::uint32_t word = 0;
    std::uint32_t update = 0;
    bool differs = false;
    while (!differs && cursor.next(word)) {
        ++update;
        gametask::put_key_word(word, keys);
        update_tasks.run();
        if (const gametask::myship* ship = gametask::first_live<gametask::myship>(); ship && ship->bomb == 1) ++out.bombs;
        const gametask::run_watch::change c = watch.after_update(update);
        if (observe) observe(update);
        const std::vector<results::run_summary>& done = watch.finished();
        if (c == gametask::run_watch::change::result_reached) {
            // Its start and result are known now; hits and score once it is left.
            const std::size_t i = done.size() - 1;
            differs = i >= listed.size() || done[i].start_update != listed[i].start_update ||
                      done[i].result_update != listed[i].result_update;
        } else if (c == gametask::run_watch::change::result_left) {
            const std::size_t i = done.size() - 1;
            differs = !first_difference(i + 1, listed[i], done[i]).empty();
        } else if (!watch.on_result()) {
            differs = done.size() < listed.size() && update >= listed[done.size()].result_update;
        } else {
            const results::run_summary& shown = listed[done.size() - 1];
            differs = shown.end_update != 0 && update > shown.end_update;
        }
    }
    watch.end_session(update);
    take_effect_cues();  // nothing plays them

    key_state = saved_keys;
    out.updates = update;
    out.runs = watch.finished();
}

}  // namespace

check_result check_replay(const std::uint8_t* stage, std::size_t stage_size, const std::uint8_t* replay_bytes,
                          std::size_t replay_size, std::uint32_t max_updates, const std::vector<run_claim>& claims,
                          const update_observer& after_update) {
    check_result out;
    out.stage = vaz::hash_bytes(stage, stage_size);
    auto reject = [&](std::string why) {
        out.verified = false;
        out.reason = std::move(why);
        return out;
    };
    if (stage_size > stage_max_file_size) return reject("the stage is too large to be one (over " + mib(stage_max_file_size) + ")");
    if (replay_size > results::replay_max_file_size) {
        return reject(describe_replay({results::replay_status::too_large, {}}));
    }

    results::replay r;
    const results::replay_read_result read = results::decode_replay(replay_bytes, replay_size, r);
    if (read.status != results::replay_status::ok) return reject(describe_replay(read));
    if (r.pattern != out.stage) {
        return reject("the replay was recorded on another stage (" + r.pattern.hex() + "), not this one (" +
                      out.stage.hex() + ")");
    }
    out.session_updates = r.update_count;
    if (r.finished_runs.empty()) return reject("the replay holds no finished run");
    // The runs a server claims are the ones it will compare the answer
    // with: they must be the ones listed, which the re-play is held to.
    if (!claims.empty() && claims.size() != r.finished_runs.size()) {
        return reject("the claims name " + std::to_string(claims.size()) + " runs, the replay lists " +
                      std::to_string(r.finished_runs.size()));
    }
    for (std::size_t i = 0; i < claims.size(); ++i) {
        const results::run_summary& l = r.finished_runs[i];
        const run_claim& c = claims[i];
        if (c.hits != l.hits || c.score != l.score || c.updates != results::frames_played(l)) {
            return reject("run " + std::to_string(i + 1) + ": claimed " + std::to_string(c.hits) + " hits, score " +
                          std::to_string(c.score) + " in " + updates_text(c.updates) + ", the replay lists " +
                          std::to_string(l.hits) + " hits, score " + std::to_string(l.score) + " in " +
                          updates_text(results::frames_played(l)));
        }
    }
    if (r.update_count > max_updates) {
        return reject("the replay holds " + updates_text(r.update_count) + ", past the limit of " +
                      std::to_string(max_updates));
    }

    gametask::reset_logic(r.seed);
    byte_source source(stage, stage_size);
    std::istream in(&source);
    const pattern_load_result loaded = load_pattern(in, pattern_groups, pattern_group_count);
    if (loaded.status != pattern_load_status::loaded) {
        gametask::reset_logic(r.seed);
        return reject(describe_stage(loaded));
    }
    gametask::spawn_first_flow_task(false);
    play_again(r, out, after_update);

    for (std::size_t i = 0; i < r.finished_runs.size(); ++i) {
        if (i >= out.runs.size()) {
            return reject("run " + std::to_string(i + 1) + ": the re-play never reached its result screen (" +
                          std::to_string(out.runs.size()) + " of the " + std::to_string(r.finished_runs.size()) +
                          " recorded runs finished)");
        }
        std::string why = first_difference(i + 1, r.finished_runs[i], out.runs[i]);
        if (!why.empty()) return reject(std::move(why));
    }
    // The game writes its recording at every result screen, so a result
    // screen reached in its updates is always listed.
    if (out.runs.size() > r.finished_runs.size()) {
        return reject("run " + std::to_string(r.finished_runs.size() + 1) +
                      ": the re-play reached a result screen the replay does not list");
    }
    out.verified = true;
    return out;
}

file_bytes read_file_bounded(const std::string& path, std::size_t max_size) {
    file_bytes out;
    const audiolayer::regular_file file = audiolayer::open_regular_file(path.c_str());
    if (file.fd < 0) {
        out.outcome = file_bytes::status::unreadable;
        out.why = file.why;
        return out;
    }
    if (static_cast<std::uint64_t>(file.size) > max_size) {
        ::close(file.fd);
        out.outcome = file_bytes::status::too_large;
        return out;
    }
    out.bytes.reserve(static_cast<std::size_t>(file.size));
    std::uint8_t block[65536];
    for (;;) {
        const ssize_t n = ::read(file.fd, block, sizeof block);
        if (n < 0) {
            if (errno == EINTR) continue;
            out.outcome = file_bytes::status::unreadable;
            out.why = std::strerror(errno);
            break;
        }
        if (n == 0) break;
        // The file may have grown since it was looked at.
        if (out.bytes.size() + static_cast<std::size_t>(n) > max_size) {
            out.outcome = file_bytes::status::too_large;
            break;
        }
        out.bytes.insert(out.bytes.end(), block, block + n);
    }
    ::close(file.fd);
    if (out.outcome != file_bytes::status::ok) out.bytes.clear();
    return out;
}

}  // namespace replaycheck
