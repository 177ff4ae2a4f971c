#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "musicindex/songs.hpp"
#include "stagecache/song_library.hpp"

namespace frontend {

// The song library as `velmora_play --list` prints it: one row per song
// under a header, the path last so long paths do not push the columns
// apart; times in the local time zone, "-" for an edition never prepared;
// the best run of each edition as its ratio and hits ("-" for none).
// A length or a time left as m:ss, or h:mm:ss from an hour on; whole
// seconds, rounded.
std::string clock_text(double seconds);

// A moment as YYYY-MM-DD HH:MM in the local time zone; `never` for 0.
std::string time_text(std::int64_t when, const char* never);

// A best run as the table shows it: the ratio, a slash, the hits ("8.94/3").
std::string best_text(const std::optional<stagecache::result_row>& best);

// A file name as it may go to a terminal: control characters (an escape
// sequence, a line break in a name) become '?', as ls shows them.
std::string printable(const std::string& text);

// `text` cut to at most `width` characters (UTF-8 code points), "…" ending
// a cut one; column_text also makes it printable and pads it to `width`.
std::string fit_text(const std::string& text, std::size_t width);
std::string column_text(const std::string& text, std::size_t width);
constexpr std::size_t title_width = 28, artist_width = 20;

// TITLE and ARTIST come from `titles` (by song hash), else the file name.
std::string format_song_table(const std::vector<stagecache::song_row>& songs,
                              const std::map<std::string, musicindex::song_entry>& titles = {});

}  // namespace frontend
