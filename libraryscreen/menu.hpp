#pragma once
#include <SDL.h>

#include <functional>
#include <string>

#include "libraryscreen/screen_state.hpp"

// What the menu screens (the settings, the folders) share.
namespace libraryscreen {

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
