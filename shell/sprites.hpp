#pragma once
#include <SDL.h>

#include <string>
#include <vector>

#include "shell/colours.hpp"
#include "shell/data_files.hpp"
#include "vaz/xcppsdl.hpp"

// The sprite sheet, loaded during static construction; null when it could not be read.
extern vaz::xcppsdl<void>::surface sprite_sheet;

// One rectangle of the sheet. The records are constant data fixed before the
// sheet is loaded, so the sheet's surface is looked up through its wrapper at
// every blit.
struct sprite {
    const vaz::xcppsdl<void>::surface* sheet;
    SDL_Rect rect;  // in sheet pixels
};

extern const sprite* const digits[10];        // indexed by the decimal digit
extern const sprite* const ship_frames[4][3]; // [facing][walking frame]

extern const sprite point_glyph;
extern const sprite title_image;
extern const sprite title_label;
extern const sprite outi_image;
extern const sprite first_counter_label;
extern const sprite second_counter_label;
extern const sprite bombed_image;
extern const sprite smile_image;
extern const sprite gameover_image;
extern const sprite blood_image;
extern const sprite pause_label;
extern const sprite calibration_label;        // the calibration window's request
extern const sprite calibration_again_label;  // shown after a refused try
extern const sprite ship_halo;
extern const sprite bullet_halo;

// Blits the whole sprite with its top-left corner at screen (x, y).
void blit(const sprite& s, int x, int y);

// Fills a screen rectangle with a raw pixel value of the 32-bit screen.
void fill_rect(int x, int y, int w, int h, fill_colour colour);

// Loads the sheet from the first of sprite_sheet_locations() that holds a
// file (find_data_file); null when none does or the file is not a readable
// image.
SDL_Surface* load_sprite_sheet();

// The file load_sprite_sheet() chose; empty when no location held one.
const std::string& sprite_sheet_file();

// Where the sheet is looked for: data_file_locations(exe_dir, "data/p.bmp"),
// in the order shell/data_files.hpp says. exe_dir may be empty when it is
// unknown.
std::vector<std::string> sprite_sheet_locations(const std::string& exe_dir);
