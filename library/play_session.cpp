#include "library/play_session.hpp"

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "library/places.hpp"
#include "library/prepare.hpp"
#include "library/submissions.hpp"
#include "musicfiles/walk.hpp"
#include "results/replay_file.hpp"
#include "musicindex/store.hpp"
#include "stagecache/stage_cache.hpp"
#include "userfiles/user_dirs.hpp"
#include "vaz/files.hpp"
#include "vaz/limits.hpp"

namespace library {
namespace {

// Where the stage cache keeps a song's stage; "" for a hash this program
// did not write or without a cache.
std::string cached_stage_path(const std::string& song_hash, stage_choice choice) {
    stagecache::song_hash hash;
    const std::string cache = userfiles::cache_dir();
    if (!parse_song_hash(song_hash, hash) || cache.empty()) return {};
    return stagecache::stage_cache(cache).entry_path(hash, stage_key_of(choice.edition, choice.difficulty));
}

}  // namespace

session_start begin_session(const std::string& song_hash, stage_choice choice, std::int64_t now, pid_t pid) {
    session_start s;
    const std::string replays = replays_dir();
    std::string why;
    if (replays.empty()) {
        s.why_not = "no home folder to keep replays in (HOME is not set); results are not kept";
    } else if (!userfiles::make_dirs(replays, why)) {
        s.why_not = "cannot make the folder for replays \"" + replays + "\": " + why + "; results are not kept";
    } else {
        s.name = session_name(song_hash, choice, now, pid);
        s.recording = replays + "/" + s.name + ".session";
    }
    return s;
}

session_end end_session(song_library* library, const session_start& start, const std::string& song_hash,
                        stage_choice choice, std::int64_t now, const submit_to* submit) {
    session_end e;
    if (submit != nullptr && library != nullptr && !start.name.empty()) {
        const std::string problem = queue_submission(*library, start.recording, start.name, song_hash, choice,
                                                     submit->stage_path, submit->server, now);
        if (!problem.empty()) e.problems.push_back(problem);
    }
    if (!start.name.empty()) {
        e.kept = keep_session(library, replays_dir(), start.name, song_hash, choice, now);
        e.problems.insert(e.problems.end(), e.kept.problems.begin(), e.kept.problems.end());
    }
    e.recovered = recover_sessions(library, start.name, now, e.problems, submit ? submit->server : std::string());
    return e;
}

std::size_t recover_sessions(song_library* library, const std::string& own, std::int64_t now,
                             std::vector<std::string>& problems, const std::string& submit_server) {
    // Stages a killed preparation left half written.
    if (const std::string cache = userfiles::cache_dir(); !cache.empty())
        stagecache::stage_cache(cache).remove_stale_temporaries(stale_after_seconds);
    const std::string replays = replays_dir();
    if (replays.empty()) return 0;
    abandoned_hook queue;
    if (!submit_server.empty() && library != nullptr)
        queue = [&](const std::string& recording, const std::string& session, const std::string& song_hash,
                    stage_choice choice) {
            const std::string stage = cached_stage_path(song_hash, choice);
            if (stage.empty()) return;
            const std::string problem =
                queue_submission(*library, recording, session, song_hash, choice, stage, submit_server, now);
            if (!problem.empty()) problems.push_back(problem);
        };
    return keep_abandoned_sessions(library, replays, own, now, problems, queue);
}

best_replay find_best_replay(song_library& library, const std::string& song_hash, stage_choice choice) {
    best_replay b;
    b.best = library.best_result(song_hash, choice.edition_name(), choice.difficulty_name(),
                                 library.playing_stage(song_hash, choice));
    if (!b.best) {
        b.why_not = "no finished run of it in this edition and difficulty yet";
    } else if (b.best->replay.empty()) {
        b.why_not = "its best run has no replay kept";
    } else if (!vaz::plain_file_name(b.best->replay)) {
        b.why_not = "the song library names the best run's replay \"" + b.best->replay +
                    "\", which is not a file name in the replays folder; it is not opened";
    } else if (const std::string replays = replays_dir(); replays.empty()) {
        b.why_not = "no home folder to find replays in (HOME is not set)";
    } else {
        b.file = replays + "/" + b.best->replay;
    }
    return b;
}

namespace {

// A file holding the stage named `stage`: the song's own from the stage
// cache, the song's board's where its row keeps it, or another version's
// as the library screen downloaded it; "" when none is kept (any longer).
std::string stage_file_named(song_library& library, const std::string& stage, const std::string& song_hash,
                             stage_choice choice) {
    const std::optional<board_stage_row> board = library.board_stage(song_hash, choice);
    const std::string downloads = downloads_dir();
    for (const std::string& path : {cached_stage_path(song_hash, choice), board ? board->stage_file : std::string(),
                                    downloads.empty() ? std::string() : downloads + "/" + stage + ".pat"}) {
        vaz::hash_128 found;
        std::string why;
        if (!path.empty() && vaz::hash_file(path, found, why) && found.hex() == stage) return path;
    }
    return {};
}

}  // namespace

backlog queue_kept_bests(song_library& library, const std::string& server, std::int64_t now) {
    backlog b;
    const std::string replays = replays_dir();
    if (replays.empty() || userfiles::cache_dir().empty()) {
        b.skipped.push_back("no home folder to find the kept runs in");
        return b;
    }
    const std::vector<std::string> known = queued_sessions(library);
    // Each stage's best of a song holds its replay: each is sent on its own stage.
    for (const result_row& best : library.kept_bests()) {
        if (!vaz::plain_file_name(best.replay)) continue;
        if (std::binary_search(known.begin(), known.end(), best.session)) continue;
        // A row a newer program stored names a stage this one cannot make.
        const std::optional<stage_choice> choice = stage_choice::from_names(best.edition, best.difficulty);
        if (!choice) continue;
        const std::string replay_path = replays + "/" + best.replay;
        // The server verifies a run on the stage it was played on, and the
        // replay names that stage by its hash.
        results::replay r;
        if (results::read_replay_file(replay_path, r).status != results::replay_status::ok) {
            b.skipped.push_back("the kept replay \"" + replay_path + "\" cannot be read");
            continue;
        }
        if (r.finished_runs.empty()) continue;
        const std::string stage_path = stage_file_named(library, r.pattern.hex(), best.song_hash, *choice);
        if (stage_path.empty()) {
            const std::optional<song_row> song = library.find(best.song_hash);
            b.skipped.push_back("the best run of \"" + (song ? song->path : best.song_hash) + "\" (" + best.edition +
                                ", " + best.difficulty + ") was played on a stage no longer kept");
            continue;
        }
        const std::string problem =
            queue_submission(library, replay_path, best.session, best.song_hash, *choice, stage_path, server, now);
        if (problem.empty()) {
            ++b.queued;
        } else {
            b.skipped.push_back(problem);
        }
    }
    return b;
}

void record_play(song_library& library, const std::string& path, const std::string& song_hash, std::int64_t now) {
    library.record_played(song_hash, absolute_path(path), now);
    const std::string file = musicfiles::normal_path(path);
    library.with_database([&](sqlite3* db) {
        musicfiles::scan_options quiet;
        quiet.threads = 1;
        musicindex::scan(db, {}, {file}, quiet, now);
        musicindex::set_song_hash(db, file, song_hash);
    });
}

stage_to_play stage_for_play(song_library& library, const std::string& song_hash, stage_choice choice,
                             const std::string& own_stage) {
    stage_to_play own{own_stage, 0, false, {}};
    const std::optional<board_stage_row> row = library.board_stage(song_hash, choice);
    if (!row) return own;
    if (!row->clear) {
        own.note = "its board's stage is not played: " + row->why;
        return own;
    }
    const double rounded = std::round(row->offset_ms);
    if (!(rounded >= vaz::align_ms_range.low && rounded <= vaz::align_ms_range.high)) {  // NaN too
        own.note = "its board's stage is not played: the music is further from it than the game can align";
        return own;
    }
    std::error_code ec;
    if (row->stage_file.empty() || !std::filesystem::is_regular_file(row->stage_file, ec)) {
        own.note = "its board's stage is not played: it is no longer in the cache";
        return own;
    }
    return {row->stage_file, static_cast<int>(rounded), true, {}};
}

}  // namespace library
