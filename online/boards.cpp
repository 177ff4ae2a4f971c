#include "online/boards.hpp"

#include <algorithm>

#include "library/envelopes.hpp"
#include "library/prepare.hpp"
#include "library/submissions.hpp"
#include "vaz/files.hpp"

namespace online {
namespace {

board_summary failure(board_summary b, board_failure step, std::string why) {
    b.failed = step;
    b.why = std::move(why);
    return b;
}

// The stage's path in the cache and the song's hash; "" with the failure
// said in `b`.
std::string stage_path(const board_question& q, const stagecache::stage_cache& cache, library::song_library* songs,
                       stagecache::song_hash& hash, board_summary& b) {
    std::string why;
    if (!library::song_hash_of(songs, q.song, hash, why)) {
        b = failure(b, board_failure::song, "cannot read \"" + q.song + "\": " + why);
        return {};
    }
    return cache.entry_path(hash, library::stage_key_of(q.choice.edition, q.choice.difficulty));
}

// A song never prepared here: the board of its recording in the edition and
// difficulty, found by its fingerprint, or an empty one while no run of it
// is on the server. Preparing a stage only to look would add work and a
// cache entry the player never asked for.
board_summary board_of_recording(const client& c, const board_question& q, board_summary b) {
    std::string why;
    const std::optional<library::decoded_song> d = library::decode_for_recording(q.song, why);
    if (!d) return failure(b, board_failure::song, "cannot decode \"" + q.song + "\": " + why);
    if (d->fingerprint.empty())
        return failure(b, board_failure::song, "\"" + q.song + "\" is too short to tell its recording");
    const std::int64_t length_ms =
        static_cast<std::int64_t>(d->source->frame_count()) * 1000 / static_cast<std::int64_t>(d->source->info.freq);
    const versions v = c.recordings(d->fingerprint, length_ms);
    if (!v.how.ok) return failure(b, board_failure::server, v.how.message);
    const std::string edition = q.choice.edition_name(), difficulty = q.choice.difficulty_name();
    for (const version& one : v.boards)
        if (one.edition == edition && one.difficulty == difficulty) b.stage = one.stage;
    if (b.stage.empty()) {
        b.got.how.ok = true;
    } else {
        b.got = c.get_board(b.stage, edition, difficulty, q.rows);
        if (!b.got.how.ok) return failure(b, board_failure::server, b.got.how.message);
    }
    for (const version& one : v.list)
        if (one.stage != b.stage || one.edition != edition || one.difficulty != difficulty) b.versions.push_back(one);
    return b;
}

// What the library says beside the board; the board shows without it.
void add_library_facts(library::song_library& songs, const std::string& song_hash, const board_question& q,
                       std::string& fingerprint, double& seconds, board_summary& b) {
    try {
        if (const auto s = library::latest_submission(songs, song_hash, q.choice)) {
            b.state = library::state_name(s->state);
            if (s->state == library::submission_state::rejected && !s->reason.empty()) b.state += ": " + s->reason;
        }
        fingerprint = songs.fingerprint(song_hash);
        if (const auto row = songs.find(song_hash)) seconds = row->duration;
    } catch (const std::exception&) {
        // The board shows without them.
    }
}

}  // namespace

board_summary look_up_board(const account& who, const board_question& q, const stagecache::stage_cache& cache,
                            library::song_library* songs, const limits& l) {
    board_summary b;
    if (who.server.empty()) return failure(b, board_failure::no_server, "no server");
    stagecache::song_hash hash;
    const std::string path = stage_path(q, cache, songs, hash, b);
    if (!b.ok()) return b;
    vaz::hash_128 stage;
    std::string why;
    const client c(who.server, who.token, l);
    // The board follows the stage's bytes: only a stage in the cache has one.
    if (!vaz::hash_file(path, stage, why))
        return q.by_recording ? board_of_recording(c, q, b) : failure(b, board_failure::not_prepared, "not prepared yet");
    b.stage = stage.hex();
    std::string fingerprint;
    double seconds = 0;
    if (songs) add_library_facts(*songs, hash.hex(), q, fingerprint, seconds, b);
    const std::string edition = q.choice.edition_name(), difficulty = q.choice.difficulty_name();
    // The song plays its recording's board stage once aligned to it: that
    // board is the song's, whatever its own stage's hash.
    // A file measured as not the board's music (another mix, a live take)
    // keeps its own stage and so its own board, whatever the server links.
    bool own_board = false;
    if (songs) {
        try {
            if (const auto row = songs->board_stage(hash.hex(), q.choice)) {
                if (row->clear) b.stage = row->stage_hash;
                own_board = !row->clear;
            }
        } catch (const std::exception&) {
            // The own stage's board, which names the recording's when it knows it.
        }
    }
    b.got = c.get_board(b.stage, edition, difficulty, q.rows);
    if (!b.got.how.ok) return failure(b, board_failure::server, b.got.how.message);
    if (!b.got.recording_board.empty() && !own_board) {
        // A copy's own stage: the recording's board is the one its runs are ranked on.
        board recording = c.get_board(b.got.recording_board, edition, difficulty, q.rows);
        if (!recording.how.ok) return failure(b, board_failure::server, recording.how.message);
        b.stage = b.got.recording_board;
        b.got = std::move(recording);
    }
    if (!fingerprint.empty() && seconds > 0) {
        const versions v = c.recordings(fingerprint, static_cast<std::int64_t>(seconds * 1000));
        for (const version& one : v.list)
            if (one.stage != b.stage || one.edition != edition || one.difficulty != difficulty) b.versions.push_back(one);
    }
    return b;
}

}  // namespace online
