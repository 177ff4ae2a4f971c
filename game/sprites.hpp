#pragma once
#include <SDL.h>

#include "vaz/xcppsdl.hpp"

// The sprite sheet, loaded during static construction; null when it could not be read.
extern vaz::xcppsdl<void>::surface sprite_sheet;

// Loads "data/p.bmp" relative to the working directory.
SDL_Surface* load_sprite_sheet();
