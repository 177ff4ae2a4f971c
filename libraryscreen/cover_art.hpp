#pragma once
#include <SDL.h>

#include <memory>
#include <string>

namespace libraryscreen {

struct surface_deleter {
    void operator()(SDL_Surface* s) const { SDL_FreeSurface(s); }
};
using owned_surface = std::unique_ptr<SDL_Surface, surface_deleter>;

// The picture of a song's cover: the one its tags hold (read only when
// `tagged` says they hold one), else the first image named cover, then
// folder (.jpg, .jpeg, .png, any case) in the song's folder that decodes;
// decoded by SDL_image and
// fitted into a square of `size` pixels (its shape kept, averaged down,
// never enlarged past twice its size), as a 32-bit surface. Null when there
// is none or it cannot be decoded. Safe to call from a thread of its own.
owned_surface load_cover(const std::string& song, bool tagged, int size);

// An image file's bytes decoded and fitted as above.
owned_surface decode_cover(const std::string& bytes, int size);

}  // namespace libraryscreen
