#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "alignment/alignment.hpp"
#include "results/replay_file.hpp"
#include "server/plays.hpp"

// A submitted session as the API takes it (multipart parts), checked whole
// before anything is stored: sizes, the stage's and the replay's formats,
// the replay naming that stage, the edition and the difficulty, the texts.
namespace server {

struct limits {
    std::size_t stage_bytes = 8u << 20;        // an hour of the densest edition is about 3 MiB
    std::size_t replay_bytes = 4u << 20;       // a key change every update for hours
    std::uint32_t session_updates = 2 * 60 * 60 * 60;  // two hours at 60 updates a second
    std::size_t text_bytes = 256;              // title, artist, album
    std::size_t fingerprint_bytes = 16u << 10;
    std::int64_t length_ms = 24ll * 60 * 60 * 1000;
};

// The largest submission body: both files, an envelope, and room for the
// text parts and the multipart framing.
inline std::size_t submission_body_bytes(const limits& l) {
    return l.stage_bytes + l.replay_bytes + alignment::max_encoded_bytes + (64u << 10);
}

// A refusal as the API answers it: {"error": code, "message": message}.
struct refusal {
    int status = 0;
    std::string code;
    std::string message;
};

struct form_part {
    std::string name;
    std::string filename;  // empty for a text part
    std::string content;
};

struct claimed_run {
    std::int32_t run = 0;  // counted from 1
    std::int32_t hits = 0;
    std::int32_t score = 0;
    double ratio = 0;          // results::shown_ratio, a float32
    std::uint32_t updates = 0;  // results::frames_played
};

struct submission {
    std::string stage;   // the pattern file's bytes
    std::string replay;  // the replay file's bytes
    std::string stage_hash;   // 32 hex digits, XXH3-128 of stage, as the replay names it
    std::string replay_hash;  // the same of replay
    std::string edition;
    std::string difficulty;
    std::string title, artist, album, fingerprint;
    std::optional<std::int64_t> length_ms;
    std::string envelope;  // alignment::encode's bytes; empty when none was sent
    std::int64_t events = 0;    // the stage's records
    std::uint32_t updates = 0;  // the session's
    std::vector<claimed_run> runs;
    session_play play;  // runs as `runs`
};

// Fills out, or says why not (out is then unspecified).
std::optional<refusal> check_submission(const std::vector<form_part>& parts, const limits& lim, submission& out);

// Valid UTF-8 without control characters (C0, DEL, C1); count gets the code points.
bool printable_utf8(const std::string& text, std::size_t& count);

}  // namespace server
