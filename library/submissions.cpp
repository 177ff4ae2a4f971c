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
                             const std::string& song_hash, stage_choice choice, const std::string& stage_path,
                             const std::string& server, std::int64_t now) {
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
                              " stage_file, replay_file, queued_at) VALUES (:session, :song_hash, :edition, "
                              ":difficulty, :server, :stage_file, :replay_file, :now)",
                              "cannot queue the session for the server");
            st.bind(":session", session)
                .bind(":song_hash", song_hash)
                .bind(":edition", choice.edition_name())
                .bind(":difficulty", choice.difficulty_name())
                .bind(":server", server);
            st.bind(":stage_file", stage_file).bind(":replay_file", replay_file).bind(":now", now);
            st.run();
        });
    } catch (const library_error& e) {
        remove_copy(replay_file);
        remove_copy(stage_file);
        return std::string(e.what()) + "; the session is not sent to the server";
    }
    return {};
}

std::vector<std::string> queued_sessions(song_library& library) {
    return library.with_database([&](sqlite3* db) {
        sql::statement st(db, "SELECT session FROM submissions ORDER BY session", "cannot read the submissions");
        std::vector<std::string> sessions;
        while (st.step()) sessions.push_back(st.text(0));
        return sessions;
    });
}

std::vector<submission> submissions_to_send(song_library& library, const std::string& server, std::int64_t now,
                                            bool due_only) {
    return read_rows(library,
                     std::string(columns) + " WHERE state = 'queued' AND server = :server" +
                         (due_only ? " AND next_try_at <= :now" : "") + " ORDER BY queued_at, session",
                     [&](sql::statement& st) {
                         st.bind(":server", server);
                         if (due_only) st.bind(":now", now);
                     });
}

std::vector<submission> submissions_pending(song_library& library, const std::string& server) {
    return read_rows(library, std::string(columns) + " WHERE state = 'pending' AND server = :server ORDER BY queued_at",
                     [&](sql::statement& st) { st.bind(":server", server); });
}

void mark_sent(song_library& library, const submission& s, std::int64_t server_session, submission_state state,
               const std::string& reason) {
    // A pending session keeps its copies: a server that could not verify it
    // asks for it again.
    const bool settled = state != submission_state::pending;
    library.with_database([&](sqlite3* db) {
        sql::statement st(db,
                          "UPDATE submissions SET state = :state, server_session = :server_session, reason = :reason,"
                          " stage_file = CASE WHEN :settled THEN '' ELSE stage_file END,"
                          " replay_file = CASE WHEN :settled THEN '' ELSE replay_file END WHERE session = :session",
                          "cannot keep the server's answer");
        st.bind(":session", s.session)
            .bind(":state", state_name(state))
            .bind(":server_session", server_session)
            .bind(":reason", reason)
            .bind(":settled", std::int64_t{settled ? 1 : 0});
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
                          "UPDATE submissions SET attempts = attempts + 1, next_try_at = :next_try_at, reason = :reason"
                          " WHERE session = :session",
                          "cannot keep the time of the next try");
        st.bind(":session", s.session).bind(":next_try_at", next_try_at).bind(":reason", reason);
        st.run();
    });
}

void mark_state(song_library& library, const std::string& session, submission_state state, const std::string& reason) {
    std::string stage_file, replay_file;
    library.with_database([&](sqlite3* db) {
        sql::statement names(db, "SELECT stage_file, replay_file FROM submissions WHERE session = :session",
                             "cannot read the session's copies");
        names.bind(":session", session);
        if (names.step()) {
            stage_file = names.text(0);
            replay_file = names.text(1);
        }
        sql::statement st(db,
                          "UPDATE submissions SET state = :state, reason = :reason, stage_file = '', replay_file = '' "
                          "WHERE session = :session",
                          "cannot keep the server's verdict");
        st.bind(":session", session).bind(":state", state_name(state)).bind(":reason", reason);
        st.run();
    });
    remove_copy(stage_file);
    remove_copy(replay_file);
}

bool mark_resend(song_library& library, const submission& s, std::int64_t next_try_at, const std::string& reason) {
    bool queued = false;
    library.with_database([&](sqlite3* db) {
        sql::statement st(db,
                          "UPDATE submissions SET state = 'queued', attempts = attempts + 1, next_try_at = "
                          ":next_try_at, reason = :reason"
                          " WHERE session = :session AND stage_file <> '' AND replay_file <> ''",
                          "cannot queue the session again");
        st.bind(":session", s.session).bind(":next_try_at", next_try_at).bind(":reason", reason);
        st.run();
        queued = sqlite3_changes(db) > 0;
    });
    return queued;
}

std::optional<submission> latest_submission(song_library& library, const std::string& song_hash, stage_choice choice) {
    std::vector<submission> rows =
        read_rows(library,
                  std::string(columns) +
                      " WHERE song_hash = :hash AND edition = :edition AND difficulty = :difficulty"
                      " ORDER BY queued_at DESC, session DESC LIMIT 1",
                  [&](sql::statement& st) {
                      st.bind(":hash", song_hash)
                          .bind(":edition", choice.edition_name())
                          .bind(":difficulty", choice.difficulty_name());
                  });
    if (rows.empty()) return std::nullopt;
    return rows.front();
}

std::vector<submission> all_submissions(song_library& library, const std::string& server) {
    return read_rows(library, std::string(columns) + " WHERE server = :server ORDER BY queued_at DESC, session DESC",
                     [&](sql::statement& st) { st.bind(":server", server); });
}

std::int64_t retry_delay(int attempts) {
    std::int64_t d = 15;
    for (int i = 0; i < attempts && d < 3600; ++i) d *= 2;
    return std::min<std::int64_t>(d, 3600);
}

}  // namespace library
