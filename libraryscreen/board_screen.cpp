#include "libraryscreen/board_screen.hpp"

#include <SDL.h>

#include <cstdio>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "libraryscreen/board_panel.hpp"
#include "libraryscreen/drawing.hpp"
#include "libraryscreen/menu.hpp"
#include "libraryscreen/online_calls.hpp"
#include "online/client.hpp"
#include "libraryscreen/play_and_watch.hpp"
#include "results/replay_file.hpp"

namespace libraryscreen {
namespace {

struct board_line {
    std::string text;
    const board_row* run = nullptr;        // Return watches it
    const version_row* version = nullptr;  // Return plays its stage
};

std::vector<board_line> lines_of(const song_board& b, const std::string& player) {
    std::vector<board_line> lines;
    const auto run_text = [&](const board_row& r) {
        char line[160];
        std::snprintf(line, sizeof line, "%3s  %-24s %6lld hits %9lld  %s%s",
                      online::place_text(r.rank, r.rank_estimate).c_str(), r.player.c_str(),
                      static_cast<long long>(r.hits), static_cast<long long>(r.score),
                      results::ratio_text(static_cast<float>(r.ratio)).c_str(), r.player == player ? "  (you)" : "");
        return std::string(line);
    };
    for (const board_row& r : b.rows) lines.push_back({run_text(r), &r, nullptr});
    if (b.you && (b.rows.empty() || b.you->rank > b.rows.back().rank)) lines.push_back({run_text(*b.you), &*b.you, nullptr});
    for (const version_row& v : b.versions)
        lines.push_back({"Other version: " + (v.title.empty() ? v.stage.substr(0, 8) : v.title) + ", " + v.edition +
                             " " + v.difficulty + ", " + std::to_string(v.players) +
                             (v.players == 1 ? " player" : " players"),
                         nullptr, &v});
    return lines;
}

}  // namespace

void board_screen(screen_state& s, const chosen_song& song) {
    if (!s.online || !s.boards) return;
    s.preview.stop();
    int at = 0;
    std::string message;
    std::uint32_t next = SDL_GetTicks();
    for (;;) {
        s.boards->want(song.path, s.stage, SDL_GetTicks());
        const std::optional<song_board> b = s.boards->find(song.path, s.stage);
        const std::vector<board_line> lines = b && b->ok ? lines_of(*b, s.online->player()) : std::vector<board_line>{};
        SDLKey key;
        while (next_key(s, key)) {
            const int n = static_cast<int>(lines.size());
            if (key == SDLK_ESCAPE || key == SDLK_F6) return;
            if (key == SDLK_UP && n > 0) at = (at + n - 1) % n;
            if (key == SDLK_DOWN && n > 0) at = (at + 1) % n;
            if (key == SDLK_g && at < n && lines[static_cast<std::size_t>(at)].run) {
                const board_row run = *lines[static_cast<std::size_t>(at)].run;
                const std::string why = choose_board_ghost(s, song, run, b->stage);
                if (s.quit) return;
                message = why.empty() ? "Ghost for the next play of this song: " + board_ghost_name(run)
                                      : "No ghost: " + why;
            }
            if ((key == SDLK_RETURN || key == SDLK_SPACE) && at < n) {
                const board_line& l = lines[static_cast<std::size_t>(at)];
                std::string replay, stage_file;
                if (l.run) {
                    const std::int64_t session = l.run->session;
                    const std::string stage = b->stage;
                    message = while_waiting(s, "Downloading the run of " + l.run->player + "...",
                                            [&] { return s.online->fetch_run(session, stage, replay, stage_file); });
                    if (message.empty())
                        watch_run(s, song, replay, stage_file, session_link(s.online->server(), session));
                } else if (l.version) {
                    const std::string stage = l.version->stage, title = l.version->title;
                    message = while_waiting(s, "Downloading the other version's stage...",
                                            [&] { return s.online->fetch_stage(stage, stage_file); });
                    if (message.empty()) play_version(s, song, stage_file, title);
                    s.boards->forget();
                }
                if (s.quit) return;
                if (!message.empty()) message = "Cannot: " + message;
            }
        }
        if (s.quit) return;
        SDL_Surface* surface = window->surface_ptr;
        fill(surface, 0, 0, screen_width, screen_height, 0);
        s.text.draw(surface, 40, 30, "World board: " + song.title, style(20, white), 560);
        s.text.draw(surface, 40, 58, std::string(s.stage.edition_name()) + ", " + s.stage.difficulty_name() + " on " + s.online->server(),
                    style(13, grey), 560);
        if (!b) {
            s.text.draw(surface, 40, 100, "Loading...", style(15, grey));
        } else if (!b->ok) {
            s.text.draw(surface, 40, 100, b->why == "not prepared yet" ? "Play the song once to see its board."
                                                                       : "The board cannot be read: " + b->why,
                        style(15, grey), 560);
        } else if (lines.empty()) {
            s.text.draw(surface, 40, 100, "No run on this board yet.", style(15, grey));
        }
        for (std::size_t i = 0; i < lines.size() && i < 14; ++i)
        {
            const bool chosen = static_cast<int>(i) == at;
            const int y = 90 + static_cast<int>(i) * 24;
            fill(surface, 30, y - 2, 580, 22, chosen ? highlight : 0);
            s.text.draw(surface, 40, y, lines[i].text, style(14, chosen ? white : grey, chosen ? highlight : 0), 560);
        }
        s.text.draw(surface, 40, 440 - 24, message, style(14, grey), 560);
        s.text.draw(surface, 40, 440, "Up/Down choose   Return watch or play   G race as ghost   Escape back", style(13, dim));
        window->flip();
        pace(next);
    }
}

}  // namespace libraryscreen
