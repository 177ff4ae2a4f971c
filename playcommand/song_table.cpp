#include "playcommand/song_table.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "playcommand/display_width.hpp"
#include "musicfiles/text.hpp"
#include "results/replay_file.hpp"
#include "vaz/utf8.hpp"
#include "vaz/clock_text.hpp"

namespace playcommand {

std::string time_text(std::int64_t when, const char* never) {
    if (when <= 0) return never;
    const std::time_t t = static_cast<std::time_t>(when);
    std::tm local{};
    if (localtime_r(&t, &local) == nullptr) return "?";
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
    return text;
}

namespace {

std::string count_text(std::int64_t events) { return events < 0 ? "-" : std::to_string(events); }

}  // namespace


std::string best_text(const std::optional<library::result_row>& best) {
    if (!best) return "-";
    return results::ratio_text(static_cast<float>(best->ratio)) + "/" + std::to_string(static_cast<std::uint32_t>(best->hits));
}

std::string printable(const std::string& text) {
    std::string shown;
    shown.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const vaz::utf8_sequence q = vaz::utf8_sequence_at(text, i);
        // C1 controls written as UTF-8 (U+0080 to U+009F: U+009B starts a
        // sequence as ESC [ does) and bytes that are not UTF-8, which a
        // terminal would take its own way, go as one '?' each part.
        const char32_t c = q.code_point;
        if (!q.valid || c < 0x20 || c == 0x7f || (c >= 0x80 && c < 0xa0))
            shown += '?';
        else
            shown.append(text, i, q.length);
        i += q.length;
    }
    return shown;
}

std::string fit_text(const std::string& text, std::size_t width) {
    if (display_width(text) <= width) return text;
    if (width == 0) return {};
    // As many whole characters as fit in width - 1 cells, with the marks
    // that combine with the last of them; the ellipsis takes the last cell.
    std::size_t cells = 0, end = 0;
    for (std::size_t length = 0; end < text.size(); end += length) {
        const auto w = static_cast<std::size_t>(code_point_width(text, end, length));
        if (cells + w > width - 1) break;
        cells += w;
    }
    return text.substr(0, end) + "\xe2\x80\xa6";
}

std::string column_text(const std::string& text, std::size_t width) {
    const std::string cut = fit_text(printable(text), width);
    return cut + std::string(width - std::min(width, display_width(cut)), ' ');
}

std::string online_key(const std::string& song_hash, const std::string& edition, const std::string& difficulty) {
    return song_hash + "/" + edition + "/" + difficulty;
}

std::string format_song_table(const std::vector<library::song_row>& songs,
                              const std::map<std::string, musicindex::song_entry>& titles,
                              const std::map<std::string, std::string>* online) {
    // EDITION and LEVEL are names read back from the library: columns of
    // their own width, as TITLE and ARTIST.
    const char* row_format = online ? "%8s %6s %2s %s %s %9s %10s %-9s  %-16s  %-16s  %s\n"
                                    : "%8s %6s %2s %s %s %9s %10s%s  %-16s  %-16s  %s\n";
    constexpr std::size_t edition_width = 9, level_width = 6;
    std::string table;
    char line[512];
    std::snprintf(line, sizeof line, row_format, "LENGTH", "RATE", "CH", column_text("EDITION", edition_width).c_str(),
                  column_text("LEVEL", level_width).c_str(), "EVENTS", "BEST", online ? "ONLINE" : "", "PREPARED",
                  "LAST PLAYED", "");
    table += line;
    table.pop_back();
    table += column_text("TITLE", title_width) + "  " + column_text("ARTIST", artist_width) + "  SONG\n";
    const std::vector<library::song_stage> none(1, library::song_stage{"-", "-", -1, 0, std::nullopt, ""});
    for (const library::song_row& s : songs) {
        const auto known = titles.find(s.hash);
        const std::string title = known != titles.end() ? known->second.title : musicfiles::title_from_file_name(s.path);
        const std::string artist = known != titles.end() && !known->second.artist.empty() ? known->second.artist : "-";
        for (const library::song_stage& st : s.stages.empty() ? none : s.stages) {
            std::string state;
            if (online) {
                const auto found = online->find(online_key(s.hash, st.edition, st.difficulty));
                state = found != online->end() ? found->second : "-";
            }
            std::snprintf(line, sizeof line, row_format, s.duration > 0 ? vaz::clock_text(s.duration).c_str() : "-",
                          s.rate ? std::to_string(s.rate).c_str() : "-", s.channels ? std::to_string(s.channels).c_str() : "-",
                          column_text(st.edition, edition_width).c_str(), column_text(st.difficulty, level_width).c_str(),
                          count_text(st.events).c_str(), best_text(st.best).c_str(), state.c_str(),
                          time_text(st.prepared_at, "-").c_str(), time_text(s.last_played_at, "never").c_str(), "");
            table += line;
            // The path goes on unformatted: snprintf's buffer must not cut it.
            table.pop_back();
            table += column_text(title, title_width) + "  " + column_text(artist, artist_width) + "  " +
                     printable(s.path) + "\n";
        }
    }
    return table;
}

}  // namespace playcommand
