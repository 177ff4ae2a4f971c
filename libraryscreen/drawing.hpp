#pragma once
#include <SDL.h>

#include <cstdint>
#include <string>

#include "shell/video.hpp"
#include "text/text_cache.hpp"

// What every screen of the library screen's program draws with: its
// name for messages, the list's place, the colours, a filled rectangle
// and the 60 Hz pacing of a frame.
namespace libraryscreen {

constexpr const char* program = "velmora_library";
constexpr int list_height = 456;  // the keys' line below it
constexpr int line_y = list_height + 4;
constexpr std::uint32_t frame_ms = 16;
constexpr std::uint32_t white = 0xFFFFFF, grey = 0xA0A0A0, dim = 0x707070, bar_colour = 0x4060FF,
                        highlight = 0x000080;

// One line on standard error, after the program's name.
void say(const std::string& line);

Uint32 colour(SDL_Surface* s, std::uint32_t rgb);
void fill(SDL_Surface* s, int x, int y, int w, int h, std::uint32_t rgb);

// Sleeps what is left of a 60 Hz frame.
void pace(std::uint32_t& next);

inline text::style style(int size, std::uint32_t rgb, std::uint32_t background = 0) {
    return {size, rgb, background};
}

}  // namespace libraryscreen
