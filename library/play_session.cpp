#include "library/play_session.hpp"

#include "library/places.hpp"
#include "library/prepare.hpp"
#include "musicfiles/walk.hpp"
#include "musicindex/store.hpp"
#include "stagecache/stage_cache.hpp"
#include "userfiles/user_dirs.hpp"
#include "vaz/files.hpp"

namespace library {
session_start begin_session(const std::string& song_hash, const std::string& edition, const std::string& difficulty,
                            std::int64_t now, pid_t pid) {
    session_start s;
    const std::string replays = replays_dir();
    std::string why;
    if (replays.empty()) {
        s.why_not = "no home folder to keep replays in (HOME is not set); results are not kept";
    } else if (!userfiles::make_dirs(replays, why)) {
        s.why_not = "cannot make the folder for replays \"" + replays + "\": " + why + "; results are not kept";
    } else {
        s.name = session_name(song_hash, edition, difficulty, now, pid);
        s.recording = replays + "/" + s.name + ".session";
    }
    return s;
}

session_end end_session(song_library* library, const session_start& start, const std::string& song_hash,
                        const std::string& edition, const std::string& difficulty, std::int64_t now) {
    session_end e;
    if (!start.name.empty()) {
        e.kept = keep_session(library, replays_dir(), start.name, song_hash, edition, difficulty, now);
        e.problems = e.kept.problems;
    }
    e.recovered = recover_sessions(library, start.name, now, e.problems);
    return e;
}

std::size_t recover_sessions(song_library* library, const std::string& own, std::int64_t now,
                             std::vector<std::string>& problems) {
    // Stages a killed preparation left half written.
    if (const std::string cache = userfiles::cache_dir(); !cache.empty())
        stagecache::stage_cache(cache).remove_stale_temporaries(stale_after_seconds);
    const std::string replays = replays_dir();
    if (replays.empty()) return 0;
    return keep_abandoned_sessions(library, replays, own, now, problems);
}

best_replay find_best_replay(song_library& library, const std::string& song_hash, const std::string& edition,
                             const std::string& difficulty) {
    best_replay b;
    b.best = library.best_result(song_hash, edition, difficulty);
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

}  // namespace library
