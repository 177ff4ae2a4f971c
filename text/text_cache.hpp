#pragma once
#include <SDL.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>

#include "text/fonts.hpp"

namespace text {

// How a string is drawn: its size in pixels (the fonts' point size at 72
// dots per inch) and its colours as 0xRRGGBB. Text is anti-aliased against
// its background, so it must be drawn on that colour: the game's black by
// default.
struct style {
    int size = 14;
    std::uint32_t colour = 0xFFFFFF;
    std::uint32_t background = 0x000000;
};

// What happens to text wider than it may be: cut at the edge, or shortened
// to whole characters followed by an ellipsis.
enum class fit { clip, ellipsis };

// Strings drawn as pictures, kept so that drawing the same text again in a
// later frame is a blit. At most max_entries pictures and max_bytes of
// pixels are kept, the least recently drawn going first.
class text_cache {
public:
    explicit text_cache(font_set& fonts, std::size_t max_entries = 1024, std::size_t max_bytes = 8u << 20);
    ~text_cache();
    text_cache(const text_cache&) = delete;
    text_cache& operator=(const text_cache&) = delete;

    // The picture of UTF-8 text (any bytes: ill-formed parts show as
    // U+FFFD), at most max_width pixels wide (0: as wide as it is), in the
    // pixel format given, owned by the cache and valid until the next call.
    // Null for text with nothing to draw or without a usable font.
    SDL_Surface* picture(const SDL_PixelFormat* format, std::string_view utf8, const style& s, int max_width = 0,
                         fit how = fit::ellipsis);

    // Draws the picture with its top-left corner at x, y; the width drawn.
    int draw(SDL_Surface* target, int x, int y, std::string_view utf8, const style& s, int max_width = 0,
             fit how = fit::ellipsis);

    // Width of the text as it would be drawn without a limit, not cached.
    int width(std::string_view utf8, int size);

    // Called with the rectangle of every text drawn, in the target's pixels,
    // and its text: a screen's check that no two texts overlap. A text blit
    // of the caller's own (a picture drawn in part) is told with drawn().
    std::function<void(const SDL_Rect&, std::string_view)> on_draw;
    void drawn(const SDL_Rect& where, std::string_view utf8) {
        if (on_draw) on_draw(where, utf8);
    }

    std::size_t entries() const { return lru_.size(); }
    std::size_t bytes() const { return bytes_; }
    std::uint64_t hits() const { return hits_; }
    std::uint64_t misses() const { return misses_; }
    font_set& fonts() { return fonts_; }

private:
    struct entry {
        std::string key;
        SDL_Surface* surface;
        std::size_t bytes;
    };

    SDL_Surface* render(const SDL_PixelFormat* format, std::string_view utf8, const style& s, int max_width, fit how);
    void forget_oldest();
    void clear();

    font_set& fonts_;
    std::size_t max_entries_, max_bytes_;
    std::list<entry> lru_;  // most recently drawn first
    std::unordered_map<std::string, std::list<entry>::iterator> index_;
    std::size_t bytes_ = 0;
    std::string key_;  // reused, so a hit allocates nothing
    std::uint32_t masks_[4] = {};  // the pixel format the pictures are in
    std::uint64_t hits_ = 0, misses_ = 0;
};

}  // namespace text
