#include "frontend/song_table.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "results/replay_file.hpp"

namespace frontend {

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

std::string clock_text(double seconds) {
    const long s = std::lround(std::max(0.0, seconds));
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

std::string best_text(const std::optional<library::result_row>& best) {
    if (!best) return "-";
    return results::ratio_text(static_cast<float>(best->ratio)) + "/" + std::to_string(static_cast<std::uint32_t>(best->hits));
}

std::string printable(const std::string& text) {
    std::string shown = text;
    for (char& c : shown) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) c = '?';
    }
    return shown;
}

std::string format_song_table(const std::vector<library::song_row>& songs) {
    constexpr const char* row_format = "%8s %6s %2s %-9s %-6s %9s %10s  %-16s  %-16s  %s\n";
    std::string table;
    char line[512];
    std::snprintf(line, sizeof line, row_format, "LENGTH", "RATE", "CH", "EDITION", "LEVEL", "EVENTS", "BEST",
                  "PREPARED", "LAST PLAYED", "SONG");
    table += line;
    const std::vector<library::song_stage> none(1, library::song_stage{"-", "-", -1, 0, std::nullopt});
    for (const library::song_row& s : songs) {
        for (const library::song_stage& st : s.stages.empty() ? none : s.stages) {
            std::snprintf(line, sizeof line, row_format, clock_text(s.duration).c_str(), std::to_string(s.rate).c_str(),
                          std::to_string(s.channels).c_str(), printable(st.edition).c_str(),
                          printable(st.difficulty).c_str(), count_text(st.events).c_str(), best_text(st.best).c_str(),
                          time_text(st.prepared_at, "-").c_str(), time_text(s.last_played_at, "never").c_str(), "");
            table += line;
            // The path goes on unformatted: snprintf's buffer must not cut it.
            table.pop_back();
            table += printable(s.path) + "\n";
        }
    }
    return table;
}

std::string run_line(const library::result_row& r) {
    return std::to_string(static_cast<std::uint32_t>(r.hits)) + " hits, score " +
           std::to_string(static_cast<std::uint32_t>(r.score)) + ", ratio " +
           results::ratio_text(static_cast<float>(r.ratio));
}

std::string format_session(const library::session_outcome& o, const std::string& song, const std::string& edition,
                           const std::string& difficulty) {
    std::string text;
    const std::string which =
        "\"" + printable(song) + "\", " + edition + " edition" + (difficulty == "hard" ? "" : ", " + difficulty);
    if (o.runs.empty()) {
        text += "No run finished this session (" + which + ").\n";
    } else {
        text += "Runs this session (" + which + "):\n";
        for (const library::result_row& r : o.runs) {
            text += "  run " + std::to_string(r.run) + ": " + run_line(r) + ", played " +
                    clock_text(static_cast<double>(r.frames) / 60.0) + "\n";
        }
    }
    if (o.best) {
        text += "Best: " + run_line(*o.best) +
                (o.new_best ? " (new best, this session)" : ", " + time_text(o.best->played_at, "-")) +
                (o.best->replay.empty() ? "" : "; replay kept") + "\n";
    }
    return text;
}

}  // namespace frontend
