#include "libraryscreen/settings_screen.hpp"

#include <SDL.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "converter/difficulty.hpp"
#include "converter/editions.hpp"
#include "game/stage.hpp"
#include "libraryscreen/drawing.hpp"
#include "libraryscreen/menu.hpp"
#include "libraryscreen/online_calls.hpp"
#include "libraryscreen/text_layout.hpp"
#include "vaz/limits.hpp"

namespace libraryscreen {

namespace {

// What the settings' rows share: the screen, and the line saying what the
// last change did.
struct settings_context {
    screen_state& s;
    std::string message;

    void save(const char* key, const std::string& value) {
        const std::string why = save_setting(key, value);
        message = why.empty() ? std::string("Saved.") : "Not saved: " + why;
    }
    void apply_display() {
        const std::string why = change_display({s.settings.fullscreen, s.settings.scale, true});
        if (!why.empty()) message = why;
    }
    // The list shows bests of the edition and difficulty chosen.
    void requery() {
        s.source.set_query(s.settings.edition, s.settings.difficulty);
        s.list.refresh();
    }
    // A whole number in steps of five within its range, saved under `key`.
    std::function<void(int)> stepped(int& value, const vaz::whole_range& range, const char* key) {
        return [this, &value, &range, key](int step) {
            value = std::clamp(value + 5 * step, range.low, range.high);
            save(key, std::to_string(value));
        };
    }
};

// Volumes, the offset and its calibration.
std::vector<menu_row> sound_rows(settings_context& c) {
    screen_state& s = c.s;
    return {
        {"Music volume", [&s] { return std::to_string(s.settings.volume) + "%"; },
         [&s, volume = c.stepped(s.settings.volume, vaz::volume_range, "volume")](int step) {
             volume(step);
             s.preview.set_volume(s.settings.volume);
         },
         nullptr},
        {"Effects volume",
         [&s] { return s.settings.effects == 0 ? std::string("off") : std::to_string(s.settings.effects) + "%"; },
         c.stepped(s.settings.effects, vaz::effects_volume_range, "effects"), nullptr},
        {"Offset", [&s] { return std::to_string(s.settings.offset_ms) + " ms"; },
         c.stepped(s.settings.offset_ms, vaz::offset_ms_range, "offset"), nullptr},
        {"Calibrate the offset", [] { return std::string("Return"); }, nullptr,
         [&c] {
             std::string why;
             const int status = run_calibration(why);
             std::vector<std::string> warnings;
             // The calibration saves the offset it measured.
             c.s.settings.offset_ms = load_settings(warnings).offset_ms;
             c.message = status == 0 ? "Offset measured: " + std::to_string(c.s.settings.offset_ms) + " ms"
                         : status < 0 ? why
                                      : "Calibration left; the offset is unchanged";
         }},
    };
}

// Edition, difficulty, full screen and the window's scale.
std::vector<menu_row> stage_and_display_rows(settings_context& c) {
    screen_state& s = c.s;
    return {
        {"Edition", [&s] { return s.settings.edition; },
         [&c](int step) {
             constexpr int n = sizeof converter::editions / sizeof converter::editions[0];
             const int i = static_cast<int>(c.s.stage.edition);
             c.s.stage.edition = converter::editions[(i + n + step) % n].id;
             c.s.settings.edition = c.s.stage.edition_name();
             c.save("edition", c.s.settings.edition);
             c.requery();
         },
         nullptr},
        {"Difficulty", [&s] { return s.settings.difficulty; },
         [&c](int step) {
             const int i = static_cast<int>(c.s.stage.difficulty);
             c.s.stage.difficulty = static_cast<converter::difficulty>((i + 3 + step) % 3);
             c.s.settings.difficulty = c.s.stage.difficulty_name();
             c.save("difficulty", c.s.settings.difficulty);
             c.requery();
         },
         nullptr},
        {"Display", [&s] { return std::string(s.settings.fullscreen ? "full screen" : "window"); },
         [&c](int) {
             c.s.settings.fullscreen = !c.s.settings.fullscreen;
             c.save("fullscreen", c.s.settings.fullscreen ? "yes" : "no");
             c.apply_display();
         },
         nullptr},
        {"Window scale",
         [&s] {
             // A scale whose window would not fit the desktop is kept, and the one that fits shown.
             const int fits = fitting_scale(s.settings.scale);
             return std::to_string(s.settings.scale) + "x" +
                    (fits < s.settings.scale ? " (" + std::to_string(fits) + "x fits the screen)" : "");
         },
         [&c](int step) {
             c.s.settings.scale = (c.s.settings.scale + 2 + step) % 3 + 1;
             c.save("scale", std::to_string(c.s.settings.scale));
             c.apply_display();
         },
         nullptr},
    };
}

}  // namespace

void settings_screen(screen_state& s) {
    s.preview.stop();
    settings_context c{s, {}};
    std::string& message = c.message;
    menu m;
    m.rows = sound_rows(c);
    for (menu_row& r : stage_and_display_rows(c)) m.rows.push_back(std::move(r));
    // The scoreboard's rows are there only once a server is set, so a player
    // who never sets one sees only the key that sets one, O.
    const std::size_t first_online_row = m.rows.size();
    const auto online = [&] { return s.online && s.online->online(); };
    const menu_row earlier_row{"Runs played before", [] { return std::string("Return: send"); }, nullptr,
                               [&] { message = s.online->send_kept_bests(); }};
    const auto show_online_rows = [&](const menu_row& server_row, const menu_row& player_row) {
        m.rows.resize(first_online_row);
        if (online()) {
            m.rows.push_back(server_row);
            m.rows.push_back(player_row);
            m.rows.push_back(earlier_row);
        }
        m.at = std::min(m.at, m.rows.size() - 1);
    };
    std::function<void()> set_online;
    const menu_row server_row{"Scoreboard server", [&] { return s.online->server(); }, nullptr, [&] { set_online(); }};
    const menu_row player_row{"Player", [&] { return s.online->player(); }, nullptr, [&] { set_online(); }};
    set_online = [&] {
        if (!s.online) return;
        std::string address = s.online->server(), name = s.online->player();
        if (type_text(s, "The scoreboard server (http://HOST:PORT), Escape to leave:", address) &&
            type_text(s, "Your name on it (3 to 24 characters):", name)) {
            const std::string why = while_waiting(s, "Registering " + name + " at " + address + "...",
                                                  [&] { return s.online->go_online(address, name); });
            message = why.empty() ? "Playing online as " + name + "." : "Not online: " + why;
        }
        show_online_rows(server_row, player_row);
    };
    show_online_rows(server_row, player_row);
    m.other_key = [&](SDLKey key) {
        if (key == SDLK_o && s.online && !online()) {
            set_online();
        } else if ((key == SDLK_DELETE || key == SDLK_BACKSPACE) && online() && m.at >= first_online_row &&
                   m.at < first_online_row + 2) {
            const std::string why = s.online->go_offline();
            message = why.empty() ? std::string("Playing offline; the token is forgotten.") : why;
            show_online_rows(server_row, player_row);
        }
    };
    m.rows_y = 90;
    m.row_step = 28;
    m.shown = first_online_row + 3;
    m.leave_keys = {SDLK_ESCAPE, SDLK_F4};
    m.space_chooses = true;
    m.draw_before = [&](SDL_Surface* surface) { s.text.draw(surface, 40, 40, "Settings", style(20, white)); };
    m.draw_after = [&](SDL_Surface* surface) {
        // Below the last row, wrapped above the keys' line.
        const int y = m.rows_y + static_cast<int>(m.rows.size()) * m.row_step + 8;
        draw_wrapped(s.text, surface, 40, y, message, style(14, grey), 560, m.rows.size() > first_online_row ? 2 : 4);
        // Offline, the key that sets a server is named: nothing else shows it.
        s.text.draw(surface, 40, 440,
                    m.at == first_online_row + 2 ? "Up/Down choose   Return send   Escape back"
                    : m.at >= first_online_row   ? "Up/Down choose   Return set   Delete clear   Escape back"
                    : s.online && !online()      ? "Up/Down choose   Left/Right change   O play online   Escape back"
                                                 : "Up/Down choose   Left/Right change   Escape back",
                    style(13, dim), 560);
    };
    run_menu(s, m);
}

}  // namespace libraryscreen
