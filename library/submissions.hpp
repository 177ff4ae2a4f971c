#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "library/song_library.hpp"

// Sessions kept for the scoreboard server: each finished session's replay and
// stage copied into the outbox folder and named by a row of the song
// library's submissions table, until the server has taken them. The row
// keeps the server's answer afterwards, so every run's online state shows.
namespace library {

enum class submission_state { queued, pending, verified, rejected };
const char* state_name(submission_state s);

struct submission {
    std::string session;  // the play session's name
    std::string song_hash, edition, difficulty;
    std::string server;       // the server it is for
    std::string stage_file;   // plain names in the outbox folder; "" once sent
    std::string replay_file;
    std::int64_t queued_at = 0;
    submission_state state = submission_state::queued;
    std::int64_t server_session = 0;  // the server's id once it took it
    std::string reason;               // the server's reason for a rejection, or the last failure
    int attempts = 0;
    std::int64_t next_try_at = 0;  // seconds since 1970
};

// The outbox folder beside the song library; empty without a home.
std::string outbox_dir();

// Queues the session whose recording is `recording` (before the session is
// kept, which removes it) with a copy of `stage_path`, for `server`. Nothing
// happens when the recording holds no finished run. Returns "" or the reason
// it could not be queued, as a message line.
std::string queue_submission(song_library& library, const std::string& recording, const std::string& session,
                             const std::string& song_hash, stage_choice choice, const std::string& stage_path,
                             const std::string& server, std::int64_t now);

// Every session the submissions table holds, for any server.
std::vector<std::string> queued_sessions(song_library& library);

// Queued submissions for `server` due at `now`, oldest first; with
// due_only false every one still to send.
std::vector<submission> submissions_to_send(song_library& library, const std::string& server, std::int64_t now,
                                            bool due_only = true);
// Sessions the server took and has not answered for yet.
std::vector<submission> submissions_pending(song_library& library, const std::string& server);

// The server took it: its copies are removed, the row keeps its id.
void mark_sent(song_library& library, const submission& s, std::int64_t server_session, submission_state state,
               const std::string& reason);
// Not taken this time (offline, 5xx, 429): tried again from `next_try_at`.
void mark_retry(song_library& library, const submission& s, std::int64_t next_try_at, const std::string& reason);
// The server's verdict on a session it took.
void mark_state(library::song_library& library, const std::string& session, submission_state state,
                const std::string& reason);
// A session the server could not verify (its fault, not the replay's),
// queued to be sent again from its copies at next_try_at; false when it
// has none (sent before copies were kept while pending).
bool mark_resend(song_library& library, const submission& s, std::int64_t next_try_at, const std::string& reason);

// The latest submission of a song's runs in an edition and difficulty, for
// the lists; nothing when none was ever queued.
std::optional<submission> latest_submission(song_library& library, const std::string& song_hash, stage_choice choice);
// Every submission, newest first (velmora_play --submit reports them).
std::vector<submission> all_submissions(song_library& library, const std::string& server);


// Seconds to wait after `attempts` failed tries: doubling from 15 s to an hour.
std::int64_t retry_delay(int attempts);

}  // namespace library
