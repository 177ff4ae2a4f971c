#include "online/board_stage.hpp"

#include <ctime>
#include <filesystem>

#include "library/envelopes.hpp"
#include "userfiles/user_dirs.hpp"
#include "vaz/files.hpp"

namespace online {
namespace {

constexpr const char* no_envelope = "the board's stage has no envelope to align this file to";

board_stage_outcome kept_row(library::song_library& songs, const board_stage_question& q, std::string why) {
    board_stage_outcome o;
    o.row = songs.board_stage(q.song_hash, q.choice);
    o.why = std::move(why);
    return o;
}

// The row for the board's stage: measured between the two envelopes. Only
// the server's or the files' trouble comes back without a row (tried again
// next time); a verdict of the alignment is a row, clear or not.
std::optional<library::board_stage_row> measure(const client& c, const board_stage_question& q,
                                                const version& board, std::string& why) {
    const std::string file = board_stage_file(board.stage);
    if (file.empty()) {
        why = "no home folder to keep the board's stage in";
        return std::nullopt;
    }
    if (why = keep_stage(c, board.stage, file); !why.empty()) {
        why = "the board's stage: " + why;
        return std::nullopt;
    }
    library::board_stage_row row{board.stage, file, 0, false, {}, static_cast<std::int64_t>(std::time(nullptr))};
    if (!board.envelope) {
        row.why = no_envelope;
        return row;
    }
    const download d = c.envelope(board.stage);
    if (!d.how.ok) {
        why = "cannot download the board's envelope: " + d.how.message;
        return std::nullopt;
    }
    const std::optional<alignment::envelope> theirs =
        d.bytes.size() <= alignment::max_encoded_bytes ? alignment::decode(d.bytes) : std::nullopt;
    if (!theirs) {
        why = "the server sent an envelope that does not read";
        return std::nullopt;
    }
    const std::optional<alignment::envelope> mine = library::own_envelope(q.song_hash, q.song_path, why);
    if (!mine) {
        why = "cannot make this file's envelope: " + why;
        return std::nullopt;
    }
    const alignment::offset o = alignment::align(*theirs, *mine);
    row.offset_ms = o.ms;
    row.clear = o.clear;
    row.why = o.clear ? std::string() : o.why;
    return row;
}

}  // namespace

std::optional<version> other_board(const std::vector<version>& boards, library::stage_choice choice,
                                   const std::string& own_stage) {
    for (const version& b : boards)
        if (b.edition == choice.edition_name() && b.difficulty == choice.difficulty_name())
            return b.stage == own_stage ? std::nullopt : std::optional<version>(b);
    return std::nullopt;
}

std::string keep_stage(const client& c, const std::string& stage_hash, const std::string& file) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(file, ec)) {
        vaz::hash_128 h;
        std::string why;
        if (vaz::hash_file(file, h, why) && h.hex() == stage_hash) return {};
    }
    const download d = c.stage(stage_hash);
    if (!d.how.ok) return d.how.message;
    if (vaz::hash_bytes(d.bytes.data(), d.bytes.size()).hex() != stage_hash)
        return "the server sent another stage than " + stage_hash;
    std::string why;
    const std::string dir = file.substr(0, file.rfind('/'));
    if (!userfiles::make_dirs(dir, why)) return "cannot make \"" + dir + "\": " + why;
    const vaz::replace_result r = vaz::replace_file(
        file, file + ".XXXXXX", reinterpret_cast<const std::uint8_t*>(d.bytes.data()), d.bytes.size(), 0644);
    if (r.failed_at != vaz::replace_step::done) return "cannot write \"" + file + "\"";
    return {};
}

std::string board_stage_file(const std::string& stage_hash) {
    const std::string dir = userfiles::cache_dir();
    return dir.empty() ? std::string() : dir + "/boards/" + stage_hash + ".pat";
}

board_stage_outcome refresh_board_stage(const account& who, library::song_library& songs,
                                        const board_stage_question& q, const limits& l) {
    if (who.server.empty()) return {};
    std::string fingerprint = songs.fingerprint(q.song_hash);
    const std::optional<library::song_row> song = songs.find(q.song_hash);
    if (!song || song->duration <= 0) return kept_row(songs, q, "the song's length is not known yet");
    std::string why;
    if (fingerprint.empty() && (fingerprint = library::fingerprint_from_file(songs, q.song_hash, q.song_path, why)).empty())
        return kept_row(songs, q, "cannot tell the song's recording: " + why);
    const client c(who.server, who.token, l);
    const versions v = c.recordings(fingerprint, static_cast<std::int64_t>(song->duration * 1000));
    // Out of reach: the row measured before still holds.
    if (!v.how.ok) return kept_row(songs, q, "cannot ask the server about the recording: " + v.how.message);
    board_stage_outcome o;
    o.asked = true;
    const std::optional<version> board = other_board(v.boards, q.choice, q.own_stage);
    if (!board) {
        // The song's own stage holds the board (or none does yet): a row of
        // another stage no longer applies, and the own stage plays as it is.
        if (const auto old = songs.board_stage(q.song_hash, q.choice); old && old->stage_hash != q.own_stage) {
            o.row = library::board_stage_row{q.own_stage, q.own_stage_file, 0, true, {}, std::time(nullptr)};
            songs.record_board_stage(q.song_hash, q.choice, *o.row);
        }
        return o;
    }
    if (std::optional<library::board_stage_row> old = songs.board_stage(q.song_hash, q.choice);
        old && old->stage_hash == board->stage) {
        // Measured once; again only for a stage whose envelope has come since
        // or whose file has gone from the cache.
        std::error_code ec;
        const bool still = old->clear ? std::filesystem::is_regular_file(old->stage_file, ec)
                                      : !(board->envelope && old->why == no_envelope);
        if (still) {
            o.row = std::move(old);
            return o;
        }
    }
    o.row = measure(c, q, *board, o.why);
    if (o.row) songs.record_board_stage(q.song_hash, q.choice, *o.row);
    return o;
}

}  // namespace online
