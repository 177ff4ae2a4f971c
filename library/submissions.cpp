#include "library/submissions.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "results/replay_file.hpp"
#include "userfiles/user_dirs.hpp"
#include "vaz/files.hpp"

namespace library {
namespace {

constexpr const char* columns =
    "SELECT session, song_hash, edition, difficulty, server, stage_file, replay_file, queued_at, state,"
    " COALESCE(server_session, 0), reason, attempts, next_try_at FROM submissions";

submission_state state_from(const std::string& t) {
    if (t == "pending") return submission_state::pending;
    if (t == "verified") return submission_state::verified;
    if (t == "rejected") return submission_state::rejected;
    return submission_state::queued;
}

submission read_row(const sql::statement& st) {
    submission s;
    s.session = st.text(0);
    s.song_hash = st.text(1);
    s.edition = st.text(2);
    s.difficulty = st.text(3);
    s.server = st.text(4);
    s.stage_file = st.text(5);
    s.replay_file = st.text(6);
    s.queued_at = st.integer(7);
    s.state = state_from(st.text(8));
    s.server_session = st.integer(9);
    s.reason = st.text(10);
    s.attempts = static_cast<int>(st.integer(11));
    s.next_try_at = st.integer(12);
    return s;
}

template <typename Bind>
std::vector<submission> read_rows(song_library& library, const std::string& text, Bind bind) {
    return library.with_database([&](sqlite3* db) {
        sql::statement st(db, text, "cannot read the submissions");
        bind(st);
        std::vector<submission> rows;
        while (st.step()) rows.push_back(read_row(st));
        return rows;
    });
}

bool read_bytes(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// A copy of `from` as `to`, whole or not at all.
std::string copy_whole(const std::string& from, const std::string& to) {
    std::string bytes;
    if (!read_bytes(from, bytes)) return "cannot read \"" + from + "\": " + std::strerror(errno);
    const vaz::replace_result r =
        vaz::replace_file(to, to + ".XXXXXX", reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), 0644);
    if (r.failed_at != vaz::replace_step::done) return "cannot write \"" + to + "\": " + std::strerror(r.error);
    return {};
}

void remove_copy(const std::string& name) {
    const std::string dir = outbox_dir();
    if (!dir.empty() && vaz::plain_file_name(name)) ::unlink((dir + "/" + name).c_str());
}

}  // namespace

const char* state_name(submission_state s) {
    switch (s) {
    case submission_state::queued: return "queued";
    case submission_state::pending: return "pending";
    case submission_state::verified: return "verified";
    case submission_state::rejected: return "rejected";
    }
    return "queued";
}

std::string outbox_dir() {
    const std::string dir = userfiles::data_dir();
    return dir.empty() ? std::string() : dir + "/outbox";
}

std::string queue_submission(song_library& library, const std::string& recording, const std::string& session,
                             const std::string& song_hash, const std::string& edition, const std::string& difficulty,
                             const std::string& stage_path, const std::string& server, std::int64_t now) {
    results::replay r;
    const results::replay_read_result read = results::read_replay_file(recording, r);
    if (read.status == results::replay_status::cannot_open) return {};
    if (read.status != results::replay_status::ok)
        return results::describe_replay_failure(recording, read) + "; the session is not sent to the server";
    if (r.finished_runs.empty()) return {};
    const std::string dir = outbox_dir();
    std::string why;
    if (dir.empty()) return "no home folder to keep the session for the server in";
    if (!userfiles::make_dirs(dir, why)) return "cannot make the outbox folder \"" + dir + "\": " + why;
    const std::string replay_file = session + ".vrp", stage_file = session + ".pat";
    if (std::string e = copy_whole(recording, dir + "/" + replay_file); !e.empty())
        return e + "; the session is not sent to the server";
    if (std::string e = copy_whole(stage_path, dir + "/" + stage_file); !e.empty()) {
        remove_copy(replay_file);
        return e + "; the session is not sent to the server";
    }
    try {
        library.with_database([&](sqlite3* db) {
            sql::statement st(db,
                              "INSERT OR REPLACE INTO submissions (session, song_hash, edition, difficulty, server,"
                              " stage_file, replay_file, queued_at) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)",
                              "cannot queue the session for the server");
            st.bind(1, session).bind(2, song_hash).bind(3, edition).bind(4, difficulty).bind(5, server);
            st.bind(6, stage_file).bind(7, replay_file).bind(8, now);
            st.run();
        });
    } catch (const library_error& e) {
        remove_copy(replay_file);
        remove_copy(stage_file);
        return std::string(e.what()) + "; the session is not sent to the server";
    }
    return {};
}

std::vector<submission> submissions_to_send(song_library& library, const std::string& server, std::int64_t now,
                                            bool due_only) {
    return read_rows(library,
                     std::string(columns) + " WHERE state = 'queued' AND server = ?1" +
                         (due_only ? " AND next_try_at <= ?2" : "") + " ORDER BY queued_at, session",
                     [&](sql::statement& st) {
                         st.bind(1, server);
                         if (due_only) st.bind(2, now);
                     });
}

std::vector<submission> submissions_pending(song_library& library, const std::string& server) {
    return read_rows(library, std::string(columns) + " WHERE state = 'pending' AND server = ?1 ORDER BY queued_at",
                     [&](sql::statement& st) { st.bind(1, server); });
}

void mark_sent(song_library& library, const submission& s, std::int64_t server_session, submission_state state,
               const std::string& reason) {
    // A pending session keeps its copies: a server that could not verify it
    // asks for it again.
    const bool settled = state != submission_state::pending;
    library.with_database([&](sqlite3* db) {
        sql::statement st(db,
                          "UPDATE submissions SET state = ?2, server_session = ?3, reason = ?4,"
                          " stage_file = CASE WHEN ?5 THEN '' ELSE stage_file END,"
                          " replay_file = CASE WHEN ?5 THEN '' ELSE replay_file END WHERE session = ?1",
                          "cannot keep the server's answer");
        st.bind(1, s.session).bind(2, state_name(state)).bind(3, server_session).bind(4, reason).bind(5, std::int64_t{settled ? 1 : 0});
        st.run();
    });
    // Only once the row no longer names them.
    if (settled) {
        remove_copy(s.stage_file);
        remove_copy(s.replay_file);
    }
}

void mark_retry(song_library& library, const submission& s, std::int64_t next_try_at, const std::string& reason) {
    library.with_database([&](sqlite3* db) {
        sql::statement st(db,
                          "UPDATE submissions SET attempts = attempts + 1, next_try_at = ?2, reason = ?3"
                          " WHERE session = ?1",
                          "cannot keep the time of the next try");
        st.bind(1, s.session).bind(2, next_try_at).bind(3, reason);
        st.run();
    });
}

void mark_state(song_library& library, const std::string& session, submission_state state, const std::string& reason) {
    std::string stage_file, replay_file;
    library.with_database([&](sqlite3* db) {
        sql::statement names(db, "SELECT stage_file, replay_file FROM submissions WHERE session = ?1",
                             "cannot read the session's copies");
        names.bind(1, session);
        if (names.step()) {
            stage_file = names.text(0);
            replay_file = names.text(1);
        }
        sql::statement st(db,
                          "UPDATE submissions SET state = ?2, reason = ?3, stage_file = '', replay_file = '' WHERE session = ?1",
                          "cannot keep the server's verdict");
        st.bind(1, session).bind(2, state_name(state)).bind(3, reason);
        st.run();
    });
    remove_copy(stage_file);
    remove_copy(replay_file);
}

bool mark_resend(song_library& library, const submission& s, std::int64_t next_try_at, const std::string& reason) {
    bool queued = false;
    library.with_database([&](sqlite3* db) {
        sql::statement st(db,
                          "UPDATE submissions SET state = 'queued', attempts = attempts + 1, next_try_at = ?2, reason = ?3"
                          " WHERE session = ?1 AND stage_file <> '' AND replay_file <> ''",
                          "cannot queue the session again");
        st.bind(1, s.session).bind(2, next_try_at).bind(3, reason);
        st.run();
        queued = sqlite3_changes(db) > 0;
    });
    return queued;
}

std::optional<submission> latest_submission(song_library& library, const std::string& song_hash,
                                            const std::string& edition, const std::string& difficulty) {
    std::vector<submission> rows = read_rows(
        library,
        std::string(columns) +
            " WHERE song_hash = ?1 AND edition = ?2 AND difficulty = ?3 ORDER BY queued_at DESC, session DESC LIMIT 1",
        [&](sql::statement& st) { st.bind(1, song_hash).bind(2, edition).bind(3, difficulty); });
    if (rows.empty()) return std::nullopt;
    return rows.front();
}

std::vector<submission> all_submissions(song_library& library, const std::string& server) {
    return read_rows(library, std::string(columns) + " WHERE server = ?1 ORDER BY queued_at DESC, session DESC",
                     [&](sql::statement& st) { st.bind(1, server); });
}

void set_fingerprint(song_library& library, const std::string& song_hash, const std::string& fingerprint) {
    library.with_database([&](sqlite3* db) {
        sql::statement st(db, "UPDATE songs SET fingerprint = ?2 WHERE hash = ?1", "cannot keep the fingerprint");
        st.bind(1, song_hash).bind(2, fingerprint);
        st.run();
    });
}

std::string fingerprint_of(song_library& library, const std::string& song_hash) {
    return library.with_database([&](sqlite3* db) {
        sql::statement st(db, "SELECT COALESCE(fingerprint, '') FROM songs WHERE hash = ?1",
                          "cannot read the fingerprint");
        st.bind(1, song_hash);
        return st.step() ? st.text(0) : std::string();
    });
}

std::int64_t retry_delay(int attempts) {
    std::int64_t d = 15;
    for (int i = 0; i < attempts && d < 3600; ++i) d *= 2;
    return std::min<std::int64_t>(d, 3600);
}

}  // namespace library
