#include "game/sprites.hpp"

#include <SDL_image.h>

SDL_Surface* load_sprite_sheet() { return IMG_Load("data/p.bmp"); }
