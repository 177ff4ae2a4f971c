#pragma once
#include <SDL.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "libraryscreen/screen_state.hpp"

// The menu screens (the settings, the folders) as data: each a table of rows,
// run by one loop that moves, changes, chooses and draws.
namespace libraryscreen {

// One row: its name, its value as shown, what Left/Right and Return do.
struct menu_row {
    std::string name;
    std::function<std::string()> value;     // null: no value shown
    std::function<void(int step)> change;   // Left -1, Right +1; null: they do nothing
    std::function<void()> choose;           // Return; null: as Right
};

struct menu {
    std::vector<menu_row> rows;  // read at every key and frame: an action may replace them
    std::size_t at = 0, top = 0;  // the highlighted row, the first one shown
    int rows_y = 0;               // the first shown row's text top
    int row_step = 0;             // pixels from one row to the next
    std::size_t shown = 0;        // rows on the screen at once; the list scrolls beyond
    std::vector<SDLKey> leave_keys;
    bool leave = false;  // an action sets it to leave the menu after it
    bool space_chooses = false;
    std::function<void(SDLKey)> other_key;             // keys the rows do not take; may be null
    std::function<void(SDL_Surface*)> draw_before;     // over the black screen, before the rows
    std::function<void(SDL_Surface*)> draw_after;      // after the rows
};

// Runs the menu until one of its leave keys, or the window closes (s.quit).
void run_menu(screen_state& s, menu& m);

// The next key pressed, for the menus; false once none is left this frame
// or the window was closed (s.quit then says so).
bool next_key(screen_state& s, SDLKey& key);

// One line of a menu screen: its name, its value, the highlight.
void draw_menu_row(screen_state& s, SDL_Surface* surface, int y, const std::string& name, const std::string& value,
                   bool chosen);

// Runs `work` on a thread while the window shows `message` alone, for a
// wait the player asked for (the network); its answer.
std::string while_waiting(screen_state& s, const std::string& message, std::function<std::string()> work);

// A line of text typed in the window, starting from `text`; false when
// Escape left it (or the window was closed).
bool type_text(screen_state& s, const std::string& prompt, std::string& text);

}  // namespace libraryscreen
