#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/database.hpp"
#include "server/http_server.hpp"

// One board per recording: stages whose songs' fingerprints match are
// versions of one recording, whatever file or encoding each player has.
// GET /v1/recordings?fingerprint=FP&length_ms=N answers
//   {"boards": [{"stage", "edition", "difficulty", "title", "artist", "length_ms", "players", "envelope"}],
//    "stages": [{"stage", "edition", "difficulty", "title", "artist", "length_ms", "players"}]}
// the recording's one board per edition and difficulty, and every board
// of a stage of the same recording, most players first.
namespace server {

// Chromaprint's compressed base64 text as its 32-bit items; nothing when it is not one.
std::optional<std::vector<std::uint32_t>> decode_fingerprint(const std::string& text);

// Whether two fingerprints are of one recording: under 10% of their bits
// differ where they overlap, at the alignment where the fewest differ (a
// shift of up to `shift_items` items either way, about 15 s), over at least
// `overlap_items` items.
bool same_recording(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b);
constexpr int shift_items = 120;
constexpr std::size_t overlap_items = 40;
// Lengths of one recording differ by at most this (an encoder's padding).
constexpr std::int64_t length_slack_ms = 2000;

// Whether two stages whose fingerprints match may still be one recording
// by their envelopes (alignment::encode's bytes): not when both keep their
// bands' levels and, compared, do not line up clear as one mix. Another mix
// of the same parts fingerprints alike, but its board's bullets would fly
// over music that is not there. An envelope missing, unreadable or
// without levels, or too short or quiet to compare, leaves it to the
// fingerprint.
bool same_mix(std::string_view envelope, std::string_view theirs);

// Links the stage (stored in w) to its recording: the one of the first
// stored stage of the same recording, or a new one; stages of that
// recording stored before recordings were kept join it, and the recording
// takes boards from their verified sessions. A stage without a fingerprint
// or a length stays in none. A stage sent with an envelope (`envelope`,
// else the one kept with it) joins no stage whose kept envelope is
// another mix (same_mix). `fresh`: the stage was stored in w. Takes locks on the stage's span of lengths to
// the transaction's end, so two copies linked at once make one recording;
// run it before the transaction changes any stage's row, which a linker
// holding those locks may change.
void link_recording(pqxx::work& w, const std::string& stage, bool fresh, const std::string& envelope);

// The route's answer, read from `reads`; throws unavailable as every route does.
void answer_recordings(const http::request& req, http::response& res, database& reads);

}  // namespace server
