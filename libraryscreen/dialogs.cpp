#include "libraryscreen/dialogs.hpp"

#include <algorithm>

#include "libraryscreen/cover_art.hpp"
#include "libraryscreen/drawing.hpp"
#include "libraryscreen/menu.hpp"
#include "libraryscreen/text_layout.hpp"
#include "results/replay_file.hpp"

namespace libraryscreen {
namespace {

constexpr Uint32 red_mask = 0xFF0000, green_mask = 0xFF00, blue_mask = 0xFF;

// The screen as it stands, to draw a box over again each frame.
owned_surface snapshot(SDL_Surface* screen) {
    owned_surface copy(SDL_CreateRGBSurface(SDL_SWSURFACE, screen->w, screen->h, 32, red_mask, green_mask, blue_mask, 0));
    if (copy) SDL_BlitSurface(screen, nullptr, copy.get(), nullptr);
    return copy;
}

// Darkens the screen under a box: every pixel at a quarter of its light.
void darken(SDL_Surface* s) {
    if (SDL_LockSurface(s) != 0) return;
    for (int y = 0; y < s->h; ++y) {
        auto* row = reinterpret_cast<Uint32*>(static_cast<Uint8*>(s->pixels) + static_cast<std::ptrdiff_t>(y) * s->pitch);
        for (int x = 0; x < s->w; ++x) row[x] = (row[x] >> 2) & 0x3F3F3F;
    }
    SDL_UnlockSurface(s);
}

void box(SDL_Surface* s, int x, int y, int w, int h) {
    fill(s, x, y, w, h, grey);
    fill(s, x + 1, y + 1, w - 2, h - 2, 0);
}

std::string figures(const run_figures& r) {
    return results::ratio_text(static_cast<float>(r.ratio)) + " (" + std::to_string(r.hits) +
           (r.hits == 1 ? " hit, score " : " hits, score ") + std::to_string(r.score) + ")";
}

}  // namespace

SDLKey wait_for_key(screen_state& s, const std::vector<SDLKey>& keys, const std::function<void(SDL_Surface*)>& draw) {
    std::uint32_t next = SDL_GetTicks();
    for (;;) {
        SDLKey key;
        while (next_key(s, key))
            if (std::find(keys.begin(), keys.end(), key) != keys.end()) return key;
        if (s.quit) return SDLK_UNKNOWN;
        draw(window->surface_ptr);
        window->flip();
        pace(next);
    }
}

SDLKey ask(screen_state& s, const std::string& question, const std::string& keys_line,
           const std::vector<SDLKey>& keys) {
    const owned_surface under = snapshot(window->surface_ptr);
    if (under) darken(under.get());
    constexpr int w = 440, pad = 16, size = 16;
    const std::vector<std::string> lines = wrap_lines(s.text, question, size, w - 2 * pad, 6);
    const int step = line_step(s.text, size), keys_step = line_step(s.text, 13);
    const int h = pad + static_cast<int>(lines.size()) * step + 10 + keys_step + pad;
    const int x = (screen_width - w) / 2, y = (screen_height - h) / 2;
    return wait_for_key(s, keys, [&](SDL_Surface* surface) {
        if (under) SDL_BlitSurface(under.get(), nullptr, surface, nullptr);
        box(surface, x, y, w, h);
        int ty = y + pad;
        for (const std::string& line : lines) {
            s.text.draw(surface, x + pad, ty, line, style(size, white), w - 2 * pad);
            ty += step;
        }
        s.text.draw(surface, x + pad, ty + 10, keys_line, style(13, grey), w - 2 * pad);
    });
}

pause_choice pause_menu(screen_state& s) {
    const owned_surface under = snapshot(window->surface_ptr);
    if (under) darken(under.get());
    const char* rows[] = {"Continue", "Retry", "Back to the list"};
    constexpr int count = 3, w = 260, row_step = 28;
    const int h = 44 + count * row_step + 34;
    const int x = (screen_width - w) / 2, y = (screen_height - h) / 2;
    int at = 0;
    std::uint32_t next = SDL_GetTicks();
    for (;;) {
        SDLKey key;
        while (next_key(s, key)) {
            switch (key) {
                case SDLK_UP: at = (at + count - 1) % count; break;
                case SDLK_DOWN: at = (at + 1) % count; break;
                case SDLK_ESCAPE:
                case SDLK_p: return pause_choice::carry_on;
                case SDLK_RETURN:
                case SDLK_KP_ENTER:
                case SDLK_SPACE:
                case SDLK_z:
                    return at == 0 ? pause_choice::carry_on : at == 1 ? pause_choice::retry : pause_choice::leave;
                default: break;
            }
        }
        if (s.quit) return pause_choice::quit;
        SDL_Surface* surface = window->surface_ptr;
        if (under) SDL_BlitSurface(under.get(), nullptr, surface, nullptr);
        box(surface, x, y, w, h);
        s.text.draw(surface, x + 20, y + 12, "Paused", style(18, white), w - 40);
        for (int i = 0; i < count; ++i) {
            const int ry = y + 44 + i * row_step;
            const std::uint32_t bg = i == at ? highlight : 0;
            fill(surface, x + 10, ry - 3, w - 20, row_step - 4, bg);
            s.text.draw(surface, x + 20, ry, rows[i], style(15, i == at ? white : grey, bg), w - 40);
        }
        s.text.draw(surface, x + 20, y + h - 24, "Return choose   Escape continue", style(12, dim), w - 40);
        window->flip();
        pace(next);
    }
}

std::string board_words(const std::string& own_stage, const std::string& played_stage,
                        const std::string& version_title) {
    if (played_stage == own_stage) return "own stage";
    return version_title.empty() ? "board stage" : "board of \"" + version_title + "\"";
}

std::vector<std::string> result_lines(const run_report& r) {
    std::vector<std::string> lines;
    lines.push_back(r.title + (r.artist.empty() ? "" : " - " + r.artist));
    lines.push_back(r.edition + " edition, " + r.difficulty + (r.board.empty() ? "" : ", " + r.board));
    lines.push_back("Hits: " + std::to_string(r.run.hits));
    lines.push_back("Score: " + std::to_string(r.run.score));
    lines.push_back("Rate: " + results::ratio_text(static_cast<float>(r.run.ratio)) +
                    (r.run.hits > 0 ? "  = score / (hits x 15); higher is better" : "  = the score, as nothing hit"));
    lines.push_back("Previous best: " + (r.previous_best ? figures(*r.previous_best) : std::string("none yet")));
    if (!r.kept)
        lines.push_back("This run could not be kept.");
    else if (r.new_best)
        lines.push_back("New best!");
    return lines;
}

after_result result_panel(screen_state& s, const run_report& r) {
    const std::vector<std::string> lines = result_lines(r);
    const SDLKey key = wait_for_key(
        s, {SDLK_RETURN, SDLK_KP_ENTER, SDLK_SPACE, SDLK_z, SDLK_ESCAPE, SDLK_BACKSPACE}, [&](SDL_Surface* surface) {
            fill(surface, 0, 0, screen_width, screen_height, 0);
            constexpr int x = 60, width = 520;
            s.text.draw(surface, x, 40, "Result", style(22, white), width);
            int y = 84;
            y = draw_wrapped(s.text, surface, x, y, lines[0], style(18, white), width, 2);
            y = draw_wrapped(s.text, surface, x, y + 2, lines[1], style(15, grey), width, 1) + 14;
            for (std::size_t i = 2; i < lines.size(); ++i) {
                const bool best = lines[i] == "New best!";
                const int size = best ? 22 : 17;
                y = draw_wrapped(s.text, surface, x, y, lines[i], style(size, best ? 0xFFD040 : white), width, 2) + 6;
            }
            s.text.draw(surface, x, 430, "Return play again   Escape back to the list", style(14, dim), width);
        });
    if (key == SDLK_UNKNOWN) return after_result::quit;
    if (key == SDLK_ESCAPE || key == SDLK_BACKSPACE) return after_result::back;
    return after_result::play_again;
}

}  // namespace libraryscreen
