#include "library/sessions.hpp"

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "results/replay_file.hpp"
#include "vaz/files.hpp"

namespace library {
namespace {

std::string recording_path(const std::string& dir, const std::string& session) { return dir + "/" + session + ".session"; }

void remove_file(const std::string& path, std::vector<std::string>& problems) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        problems.push_back("cannot remove \"" + path + "\": " + std::strerror(errno));
}

// The temporary files of the recording and of the kept replay, left when
// their writer was killed before its rename.
const char* const temporary_suffixes[] = {".session.tmp-", ".vrp.tmp-"};

void remove_leftovers(const std::string& dir, const std::string& session, std::vector<std::string>& problems) {
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return;
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(d)) {
        for (const char* suffix : temporary_suffixes) {
            const std::string prefix = session + suffix;
            if (std::strncmp(e->d_name, prefix.c_str(), prefix.size()) == 0) names.emplace_back(e->d_name);
        }
    }
    ::closedir(d);
    for (const std::string& n : names) remove_file(dir + "/" + n, problems);
}

}  // namespace

std::string session_name(const std::string& song_hash, stage_choice choice, std::int64_t now, pid_t pid) {
    const std::string difficulty = choice.difficulty_name();
    return song_hash + "-" + choice.edition_name() + (difficulty == "hard" ? "" : "-" + difficulty) + "-" +
           std::to_string(now) + "-" + std::to_string(pid);
}

namespace {

// The recording's finished runs as the library's rows; a recording that
// cannot be read is said in problems (a missing one had no finished run).
std::vector<result_row> runs_of(const std::string& recording, const std::string& session, const std::string& song_hash,
                                stage_choice choice, std::int64_t now, results::replay& session_replay,
                                std::vector<std::string>& problems) {
    std::vector<result_row> runs;
    const results::replay_read_result read = results::read_replay_file(recording, session_replay);
    if (read.status != results::replay_status::ok && read.status != results::replay_status::cannot_open)
        problems.push_back(results::describe_replay_failure(recording, read) + "; its runs are lost");
    if (read.status != results::replay_status::ok) return runs;
    for (std::size_t i = 0; i < session_replay.finished_runs.size(); ++i) {
        const results::run_summary& s = session_replay.finished_runs[i];
        result_row r;
        r.song_hash = song_hash;
        r.edition = choice.edition_name();
        r.difficulty = choice.difficulty_name();
        r.session = session;
        r.run = static_cast<std::int64_t>(i + 1);
        r.played_at = now;
        r.hits = s.hits;
        r.score = s.score;
        r.ratio = results::shown_ratio(s.hits, s.score);
        r.frames = results::frames_played(s);
        r.offset_ms = session_replay.offset_ms;
        // The recording names the stage it was played on, whichever board's.
        r.stage = session_replay.pattern.hex();
        runs.push_back(r);
    }
    return runs;
}

// When the session's best run (`top`) beats the stored best, its replay cut
// after it is written beside the others: the file's name, else "".
std::string write_best_replay(const std::optional<result_row>& best, const std::vector<result_row>& runs,
                              const results::replay& session_replay, const std::string& replays_dir,
                              const std::string& session, std::size_t& top, std::vector<std::string>& problems) {
    // The first of equals stays ahead, as an earlier stored one does.
    top = 0;
    for (std::size_t i = 1; i < runs.size(); ++i)
        if (results::better_result(runs[i], runs[top])) top = i;
    if (runs.empty() || (best && !results::better_result(runs[top], *best))) return {};
    // Ends as that run's result screen is left; a run the game was stopped
    // on keeps the whole recording.
    results::replay cut = session_replay;
    results::cut_after_run(cut, top);
    const std::string kept = session + ".vrp";
    const std::string error = results::write_replay_file(replays_dir + "/" + kept, cut);
    if (error.empty()) return kept;
    problems.push_back("cannot keep the best run's replay \"" + replays_dir + "/" + kept + "\": " + error);
    return {};
}

// The runs into the library with the best's replay, and the replays no run
// names any more removed once that committed. Throws library_error.
void store_runs(song_library& library, const std::string& replays_dir, const std::string& session,
                const std::string& song_hash, stage_choice choice, const results::replay& session_replay,
                session_outcome& o) {
    std::size_t top = 0;
    const std::string stage = session_replay.pattern.hex();
    const std::string kept =
        write_best_replay(library.best_result(song_hash, choice.edition_name(), choice.difficulty_name(), stage), o.runs,
                          session_replay, replays_dir, session, top, o.problems);
    std::vector<std::string> dropped;
    if (!o.runs.empty()) {
        try {
            dropped = library.record_session(o.runs, kept, top);
        } catch (...) {
            if (!kept.empty()) ::unlink((replays_dir + "/" + kept).c_str());
            throw;
        }
        o.stored = true;
    }
    for (const std::string& d : dropped) {
        if (vaz::plain_file_name(d)) {
            remove_file(replays_dir + "/" + d, o.problems);
        } else {
            o.problems.push_back("the song library names a replay \"" + d +
                                 "\" that is not a file name in the replays folder; it is left alone");
        }
    }
    o.best = library.best_result(song_hash, choice.edition_name(), choice.difficulty_name(), stage);
    o.new_best = o.best && o.best->session == session;
}

}  // namespace

session_outcome keep_session(song_library* library, const std::string& replays_dir,
                             const std::string& session, const std::string& song_hash, stage_choice choice,
                             std::int64_t now) {
    session_outcome o;
    const std::string recording = recording_path(replays_dir, session);
    remove_leftovers(replays_dir, session, o.problems);
    results::replay session_replay;
    o.runs = runs_of(recording, session, song_hash, choice, now, session_replay, o.problems);
    bool keep_recording = false;
    if (library != nullptr) {
        try {
            store_runs(*library, replays_dir, session, song_hash, choice, session_replay, o);
        } catch (const library_error& e) {
            o.problems.push_back(std::string(e.what()) + "; the recording stays in \"" + recording + "\"");
            keep_recording = !o.runs.empty();
        }
    } else if (!o.runs.empty()) {
        o.problems.push_back("without the song library this session's results are not kept yet; the recording stays in \"" +
                             recording + "\" for the next velmora_play");
        keep_recording = true;
    }
    if (!keep_recording) remove_file(recording, o.problems);
    return o;
}

namespace {

// The parts of a session name, HASH-EDITION[-DIFFICULTY]-TIME-PID; false
// for a file that is not one.
bool parse_session_name(const std::string& name, std::string& hash, stage_choice& choice, pid_t& pid) {
    std::vector<std::string> parts;
    for (std::size_t from = 0;;) {
        const std::size_t dash = name.find('-', from);
        parts.push_back(name.substr(from, dash == std::string::npos ? std::string::npos : dash - from));
        if (dash == std::string::npos) break;
        from = dash + 1;
    }
    if (parts.size() != 4 && parts.size() != 5) return false;
    hash = parts[0];
    const std::optional<stage_choice> named = stage_choice::from_names(parts[1], parts.size() == 5 ? parts[2] : "hard");
    const std::string& digits = parts.back();
    if (named) choice = *named;
    if (hash.size() != 32 || !named || digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    pid = static_cast<pid_t>(std::stol(digits));
    return pid > 0;
}

}  // namespace

std::size_t keep_abandoned_sessions(song_library* library, const std::string& replays_dir,
                                    const std::string& own, std::int64_t now, std::vector<std::string>& problems,
                                    const abandoned_hook& before_keep) {
    if (library == nullptr) return 0;
    const std::string suffix = ".session";
    std::vector<std::string> sessions;
    if (DIR* d = ::opendir(replays_dir.c_str())) {
        while (const dirent* e = ::readdir(d)) {
            const std::string n = e->d_name;
            if (n.size() > suffix.size() && n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0)
                sessions.push_back(n.substr(0, n.size() - suffix.size()));
            // A process killed while writing its first recording left only a temporary.
            for (const char* t : temporary_suffixes)
                if (const std::size_t at = n.find(t); at != std::string::npos) sessions.push_back(n.substr(0, at));
        }
        ::closedir(d);
    }
    std::sort(sessions.begin(), sessions.end());
    sessions.erase(std::unique(sessions.begin(), sessions.end()), sessions.end());
    std::size_t runs = 0;
    for (const std::string& name : sessions) {
        std::string hash;
        stage_choice choice;
        pid_t pid = 0;
        if (name == own || !parse_session_name(name, hash, choice, pid)) continue;
        // Its velmora_play still waits for its game (or the number was given
        // again, and the session is kept another time).
        if (::kill(pid, 0) == 0 || errno == EPERM) continue;
        if (before_keep) before_keep(replays_dir + "/" + name + ".session", name, hash, choice);
        session_outcome o = keep_session(library, replays_dir, name, hash, choice, now);
        problems.insert(problems.end(), o.problems.begin(), o.problems.end());
        if (o.stored) runs += o.runs.size();
    }
    return runs;
}

}  // namespace library
