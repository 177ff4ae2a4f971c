#pragma once
#include <string>
#include <utility>

#include <pqxx/pqxx>

// Every SQL statement the server runs, but the schema's steps (schema.cpp),
// in one place, each with a name: the API's pools prepare the marked ones
// under it on each new connection, and a database error says which
// statement failed. Parameters are always bound, never written into the text.
namespace server {

struct statement {
    const char* name;
    std::string text;
    bool prepared = false;  // run by name on connections made with prepare_statements
};

namespace sql {
// Connections and health.
extern const statement session_settings, plan_settings, health, queue_depth;
// Players.
extern const statement player_insert, name_holder, unkeyed_names, name_keys_set, address_lock, address_players,
    player_address_set;
// Sessions as submitted.
extern const statement session_look, stage_insert, session_insert, session_of_replay, budget_wait, submission_note,
    session_read, session_runs, replay_bytes, stage_bytes;
// Plays and copies.
extern const statement stage_lock, play_look, near_copies, labels_keep;
// Recordings, their boards, and the envelopes kept with stages.
extern const statement length_lock, stage_song, link_candidates, recording_insert, recording_link, recording_boards_fill,
    recording_board_choose, envelope_keep, stage_envelope;
// Verification.
extern const statement job_claim, session_unverified, session_retry, session_judged, player_lock, record_best,
    bucket_empty_delete;
// Verification again after the game changes.
extern const statement session_rechecked, recheck_retry, recheck_fault, recheck_queue;
// The board keepers' commands: players and sessions found, hidden, restricted,
// renamed and deleted, each player's best worked out again, the audit.
extern const statement owner_role, admin_player, admin_session, player_sessions_lock, admin_runs, session_hide, player_restrict, player_boards, best_remove,
    best_restore, name_holder_other, player_rename, player_runs_delete, player_sessions_delete, player_delete,
    audit_scrub, audit_insert, audit_list;
// Boards and recordings.
extern const statement board_top, board_buckets, board_mine, board_place, recordings_near, recording_boards_of,
    board_of_recording;
// The web pages and the count of a session's watchers.
extern const statement board_page_extras, session_page, watch_viewer, watch_note, watch_secret, watch_prune;
}  // namespace sql

// The bucket levels' shifts as the schema keeps them: level L's bucket of
// a ratio is ratio_key(ratio) >> bucket_shifts[L], 64 to one of the level above.
extern const int bucket_shifts[4];

// Prepares the marked statements on a new connection of the API's.
void prepare_statements(pqxx::connection& c);

// Throws e again with the statement's name before its message, keeping its
// SQLSTATE (which tells a lost or stopping database from a fault).
[[noreturn]] void throw_named(const statement& s, const pqxx::sql_error& e);

// Runs s in t with its parameters; a database error names it.
template <class... Args>
pqxx::result run(pqxx::transaction_base& t, const statement& s, Args&&... args) {
    try {
        if (s.prepared) return t.exec_prepared(s.name, std::forward<Args>(args)...);
        return t.exec_params(s.text, std::forward<Args>(args)...);
    } catch (const pqxx::sql_error& e) {
        throw_named(s, e);
    }
}

// As run, for a statement that answers exactly one row.
template <class... Args>
pqxx::row run1(pqxx::transaction_base& t, const statement& s, Args&&... args) {
    const pqxx::result r = run(t, s, std::forward<Args>(args)...);
    if (r.size() != 1)
        throw pqxx::unexpected_rows(std::string(s.name) + ": " + std::to_string(r.size()) + " rows where one was expected");
    return r[0];
}

}  // namespace server
