#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "library/sessions.hpp"
#include "library/song_library.hpp"
#include "musicindex/songs.hpp"

namespace playcommand {

// The song library as `velmora_play --list` prints it: under a header, one
// row per song and each edition and difficulty it was prepared or played in
// (one row of "-" for a song with neither), the path last so long paths do
// not push the columns apart; times in the local time zone, "-" for a stage
// never prepared; the best run as its ratio and hits ("-" for none).

// A moment as YYYY-MM-DD HH:MM in the local time zone; `never` for 0.
std::string time_text(std::int64_t when, const char* never);

// A best run as the table shows it: the ratio, a slash, the hits ("8.94/3").
std::string best_text(const std::optional<library::result_row>& best);

// A file name as it may go to a terminal: control characters (C0, DEL and
// C1 in UTF-8: an escape sequence, a line break in a name) and each part
// that is not UTF-8 become '?', as ls shows them.
std::string printable(const std::string& text);

// `text` cut to at most `width` terminal cells (display_width: a wide East
// Asian character takes two, a combining mark none), whole characters at a
// time, "…" ending a cut one; column_text also makes it printable and pads
// it to exactly `width` cells.
std::string fit_text(const std::string& text, std::size_t width);
std::string column_text(const std::string& text, std::size_t width);
constexpr std::size_t title_width = 28, artist_width = 20;

// TITLE and ARTIST come from `titles` (by song hash), else the file name.
// With `online` (for a player with a server: each best's state there, by
// online_key), an ONLINE column follows BEST.
std::string format_song_table(const std::vector<library::song_row>& songs,
                              const std::map<std::string, musicindex::song_entry>& titles = {},
                              const std::map<std::string, std::string>* online = nullptr);
std::string online_key(const std::string& song_hash, const std::string& edition, const std::string& difficulty);

}  // namespace playcommand
