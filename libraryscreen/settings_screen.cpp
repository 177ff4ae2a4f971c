#include "libraryscreen/settings_screen.hpp"

#include <SDL.h>

#include <algorithm>
#include <string>
#include <vector>

#include "converter/difficulty.hpp"
#include "converter/editions.hpp"
#include "game/stage.hpp"
#include "libraryscreen/drawing.hpp"
#include "libraryscreen/menu.hpp"
#include "libraryscreen/online_calls.hpp"
#include "vaz/limits.hpp"

namespace libraryscreen {

void settings_screen(screen_state& s) {
    s.preview.stop();
    enum row { volume, effects, offset, calibrate, edition, difficulty, display, scale, server, player, rows };
    int at = 0;
    std::string message;
    auto save = [&](const char* key, const std::string& value) {
        const std::string why = save_setting(key, value);
        message = why.empty() ? std::string("Saved.") : "Not saved: " + why;
    };
    auto apply_display = [&] {
        const std::string why = change_display({s.settings.fullscreen, s.settings.scale});
        if (!why.empty()) message = why;
    };
    auto change = [&](int step) {
        switch (at) {
        case volume:
            s.settings.volume = std::clamp(s.settings.volume + 5 * step, vaz::volume_range.low, vaz::volume_range.high);
            s.preview.set_volume(s.settings.volume);
            save("volume", std::to_string(s.settings.volume));
            break;
        case effects:
            s.settings.effects =
                std::clamp(s.settings.effects + 5 * step, vaz::effects_volume_range.low, vaz::effects_volume_range.high);
            save("effects", std::to_string(s.settings.effects));
            break;
        case offset:
            s.settings.offset_ms =
                std::clamp(s.settings.offset_ms + 5 * step, vaz::offset_ms_range.low, vaz::offset_ms_range.high);
            save("offset", std::to_string(s.settings.offset_ms));
            break;
        case edition: {
            constexpr int n = sizeof converter::editions / sizeof converter::editions[0];
            const int i = static_cast<int>(converter::edition_from_name(s.settings.edition).value_or(converter::edition::standard));
            s.settings.edition = converter::editions[(i + n + step) % n].name;
            save("edition", s.settings.edition);
            s.source.set_query(s.settings.edition, s.settings.difficulty);
            s.list.refresh();
            break;
        }
        case difficulty: {
            const int i = static_cast<int>(converter::difficulty_from_name(s.settings.difficulty).value_or(converter::difficulty::hard));
            s.settings.difficulty = converter::difficulty_name(static_cast<converter::difficulty>((i + 3 + step) % 3));
            save("difficulty", s.settings.difficulty);
            s.source.set_query(s.settings.edition, s.settings.difficulty);
            s.list.refresh();
            break;
        }
        case display:
            s.settings.fullscreen = !s.settings.fullscreen;
            save("fullscreen", s.settings.fullscreen ? "yes" : "no");
            apply_display();
            break;
        case scale:
            s.settings.scale = (s.settings.scale + 2 + step) % 3 + 1;
            save("scale", std::to_string(s.settings.scale));
            apply_display();
            break;
        default:
            break;
        }
    };
    std::uint32_t next = SDL_GetTicks();
    for (;;) {
        SDLKey key;
        while (next_key(s, key)) {
            switch (key) {
            case SDLK_ESCAPE:
            case SDLK_F4:
                return;
            case SDLK_UP: at = (at + rows - 1) % rows; break;
            case SDLK_DOWN: at = (at + 1) % rows; break;
            case SDLK_LEFT: change(-1); break;
            case SDLK_RIGHT: change(1); break;
            case SDLK_DELETE:
            case SDLK_BACKSPACE:
                if ((at == server || at == player) && s.online && s.online->online()) {
                    const std::string why = s.online->go_offline();
                    message = why.empty() ? std::string("Playing offline; the token is forgotten.") : why;
                }
                break;
            case SDLK_RETURN:
            case SDLK_SPACE:
                if ((at == server || at == player) && s.online) {
                    // A new server or name registers a new player there.
                    std::string address = s.online->server(), name = s.online->player();
                    if (type_text(s, "The scoreboard server (http://HOST:PORT), Escape to leave:", address) &&
                        type_text(s, "Your name on it (3 to 24 characters):", name)) {
                        const std::string why = while_waiting(s, "Registering " + name + " at " + address + "...",
                                                              [&] { return s.online->go_online(address, name); });
                        message = why.empty() ? "Playing online as " + name + "." : "Not online: " + why;
                    }
                    if (s.quit) return;
                } else if (at == calibrate) {
                    std::string why;
                    const int status = run_calibration(why);
                    std::vector<std::string> warnings;
                    // The calibration saves the offset it measured.
                    s.settings.offset_ms = load_settings(warnings).offset_ms;
                    message = status == 0 ? "Offset measured: " + std::to_string(s.settings.offset_ms) + " ms"
                              : status < 0 ? why
                                           : "Calibration left; the offset is unchanged";
                } else {
                    change(1);
                }
                break;
            default:
                break;
            }
        }
        if (s.quit) return;
        SDL_Surface* surface = window->surface_ptr;
        fill(surface, 0, 0, screen_width, screen_height, 0);
        s.text.draw(surface, 40, 40, "Settings", style(20, white));
        const std::string values[rows] = {
            std::to_string(s.settings.volume) + "%",
            s.settings.effects == 0 ? std::string("off") : std::to_string(s.settings.effects) + "%",
            std::to_string(s.settings.offset_ms) + " ms",
            "Return",
            s.settings.edition,
            s.settings.difficulty,
            s.settings.fullscreen ? "full screen" : "window",
            std::to_string(s.settings.scale) + "x",
            s.online && s.online->online() ? s.online->server() : std::string("none (Return to set)"),
            s.online && s.online->online() ? s.online->player() : std::string("-"),
        };
        const char* names[rows] = {"Music volume", "Effects volume", "Offset",      "Calibrate the offset",
                                   "Edition",      "Difficulty",     "Display",     "Window scale",
                                   "Scoreboard server", "Player"};
        for (int i = 0; i < rows; ++i) draw_menu_row(s, surface, 90 + i * 28, names[i], values[i], i == at);
        s.text.draw(surface, 40, 90 + rows * 28 + 10, message, style(14, grey), 560);
        s.text.draw(surface, 40, 440,
                    at == server || at == player ? "Up/Down choose   Return set   Delete clear   Escape back"
                                                 : "Up/Down choose   Left/Right change   Escape back",
                    style(13, dim));
        window->flip();
        pace(next);
    }
}

}  // namespace libraryscreen
