#include "text/text_cache.hpp"

#include <SDL_ttf.h>

#include <algorithm>
#include <vector>

#include "text/utf8.hpp"

namespace text {

namespace {

constexpr char32_t ellipsis_character = U'\u2026';

// A stretch of characters drawn with one font, zero-terminated for the font
// library's UCS-2 calls.
struct run {
    int font;
    std::vector<Uint16> chars;
};

struct glyph {
    Uint16 c;
    int font;
};

// Each character as drawn, with the first font that has its glyph; one
// that no font has is drawn as U+FFFD, or as '?' where that is missing too.
std::vector<glyph> glyphs_of(font_set& fonts, std::string_view utf8, int size) {
    std::vector<glyph> out;
    for (char32_t c : decode_utf8(utf8)) {
        char32_t d = drawable(c);
        if (d == 0) continue;
        int f = fonts.font_for(d, size);
        if (f < 0) f = fonts.font_for(d = replacement_character, size);
        if (f < 0) f = fonts.font_for(d = U'?', size);
        if (f < 0) continue;
        out.push_back({static_cast<Uint16>(d), f});
    }
    return out;
}

std::vector<run> runs_of(const std::vector<glyph>& glyphs, std::size_t count) {
    std::vector<run> runs;
    for (std::size_t i = 0; i < count; ++i) {
        if (runs.empty() || runs.back().font != glyphs[i].font) {
            if (!runs.empty()) runs.back().chars.push_back(0);
            runs.push_back({glyphs[i].font, {}});
        }
        runs.back().chars.push_back(glyphs[i].c);
    }
    if (!runs.empty()) runs.back().chars.push_back(0);
    return runs;
}

int run_width(font_set& fonts, const run& r, int size) {
    TTF_Font* f = fonts.font(static_cast<std::size_t>(r.font), size);
    int w = 0, h = 0;
    if (!f || TTF_SizeUNICODE(f, r.chars.data(), &w, &h) != 0) return 0;
    return w;
}

int runs_width(font_set& fonts, const std::vector<run>& runs, int size) {
    int w = 0;
    for (const run& r : runs) w += run_width(fonts, r, size);
    return w;
}

SDL_Color colour_of(std::uint32_t rgb) {
    SDL_Color c{};
    c.r = static_cast<Uint8>(rgb >> 16);
    c.g = static_cast<Uint8>(rgb >> 8);
    c.b = static_cast<Uint8>(rgb);
    return c;
}

// Characters kept before the ellipsis so that both fit in max_width; spaces
// before the ellipsis are dropped with the rest.
std::size_t kept_before_ellipsis(font_set& fonts, const std::vector<glyph>& glyphs, int size, int room) {
    std::size_t low = 0, high = glyphs.size();  // low always fits
    while (low + 1 < high) {
        const std::size_t mid = (low + high) / 2;
        if (runs_width(fonts, runs_of(glyphs, mid), size) <= room) {
            low = mid;
        } else {
            high = mid;
        }
    }
    while (low > 0 && glyphs[low - 1].c == U' ') --low;
    return low;
}

}  // namespace

text_cache::text_cache(font_set& fonts, std::size_t max_entries, std::size_t max_bytes)
    : fonts_(fonts), max_entries_(std::max<std::size_t>(1, max_entries)), max_bytes_(max_bytes) {}

text_cache::~text_cache() { clear(); }

void text_cache::clear() {
    for (entry& e : lru_) SDL_FreeSurface(e.surface);
    lru_.clear();
    index_.clear();
    bytes_ = 0;
}

void text_cache::forget_oldest() {
    entry& e = lru_.back();
    bytes_ -= e.bytes;
    SDL_FreeSurface(e.surface);
    index_.erase(e.key);
    lru_.pop_back();
}

int text_cache::width(std::string_view utf8, int size) {
    const auto glyphs = glyphs_of(fonts_, utf8, size);
    return runs_width(fonts_, runs_of(glyphs, glyphs.size()), size);
}

SDL_Surface* text_cache::render(const SDL_PixelFormat* format, std::string_view utf8, const style& s, int max_width,
                                fit how) {
    std::vector<glyph> glyphs = glyphs_of(fonts_, utf8, s.size);
    std::vector<run> runs = runs_of(glyphs, glyphs.size());
    int width = runs_width(fonts_, runs, s.size);
    if (max_width > 0 && width > max_width) {
        if (how == fit::ellipsis) {
            int ellipsis_font = fonts_.font_for(ellipsis_character, s.size);
            std::vector<glyph> tail;
            if (ellipsis_font >= 0) {
                tail.push_back({static_cast<Uint16>(ellipsis_character), ellipsis_font});
            } else if ((ellipsis_font = fonts_.font_for(U'.', s.size)) >= 0) {
                tail.assign(3, glyph{U'.', ellipsis_font});
            }
            const int tail_width = runs_width(fonts_, runs_of(tail, tail.size()), s.size);
            glyphs.resize(kept_before_ellipsis(fonts_, glyphs, s.size, max_width - tail_width));
            glyphs.insert(glyphs.end(), tail.begin(), tail.end());
            runs = runs_of(glyphs, glyphs.size());
            width = runs_width(fonts_, runs, s.size);
        }
        width = std::min(width, max_width);
    }
    if (width <= 0) return nullptr;
    const int height = fonts_.line_height(s.size);
    SDL_Surface* out = SDL_CreateRGBSurface(SDL_SWSURFACE, width, height, format->BitsPerPixel, format->Rmask,
                                            format->Gmask, format->Bmask, format->Amask);
    if (!out) return nullptr;
    const SDL_Color fg = colour_of(s.colour), bg = colour_of(s.background);
    SDL_FillRect(out, nullptr, SDL_MapRGB(out->format, bg.r, bg.g, bg.b));
    const int baseline = fonts_.ascent(s.size);
    int x = 0;
    for (const run& r : runs) {
        TTF_Font* f = fonts_.font(static_cast<std::size_t>(r.font), s.size);
        if (!f) continue;
        SDL_Surface* piece = TTF_RenderUNICODE_Shaded(f, r.chars.data(), fg, bg);
        if (!piece) continue;
        SDL_Rect at{static_cast<Sint16>(x), static_cast<Sint16>(baseline - TTF_FontAscent(f)), 0, 0};
        SDL_BlitSurface(piece, nullptr, out, &at);
        x += run_width(fonts_, r, s.size);
        SDL_FreeSurface(piece);
    }
    return out;
}

SDL_Surface* text_cache::picture(const SDL_PixelFormat* format, std::string_view utf8, const style& s, int max_width,
                                 fit how) {
    if (!format || !fonts_.usable() || utf8.empty()) return nullptr;
    const std::uint32_t masks[4] = {format->Rmask, format->Gmask, format->Bmask, format->BitsPerPixel};
    if (!std::equal(masks, masks + 4, masks_)) {
        clear();
        std::copy(masks, masks + 4, masks_);
    }
    key_.clear();
    for (std::uint32_t v : {static_cast<std::uint32_t>(s.size), s.colour, s.background,
                            static_cast<std::uint32_t>(max_width), static_cast<std::uint32_t>(how)}) {
        key_.append(reinterpret_cast<const char*>(&v), sizeof v);
    }
    key_.append(utf8);
    if (auto it = index_.find(key_); it != index_.end()) {
        ++hits_;
        lru_.splice(lru_.begin(), lru_, it->second);
        return it->second->surface;
    }
    ++misses_;
    SDL_Surface* surface = render(format, utf8, s, max_width, how);
    if (!surface) return nullptr;
    const std::size_t size = static_cast<std::size_t>(surface->pitch) * static_cast<std::size_t>(surface->h);
    while (!lru_.empty() && (lru_.size() >= max_entries_ || bytes_ + size > max_bytes_)) forget_oldest();
    lru_.push_front({key_, surface, size});
    index_.emplace(key_, lru_.begin());
    bytes_ += size;
    return surface;
}

int text_cache::draw(SDL_Surface* target, int x, int y, std::string_view utf8, const style& s, int max_width,
                     fit how) {
    if (!target) return 0;
    SDL_Surface* p = picture(target->format, utf8, s, max_width, how);
    if (!p) return 0;
    SDL_Rect at{static_cast<Sint16>(x), static_cast<Sint16>(y), 0, 0};
    SDL_BlitSurface(p, nullptr, target, &at);
    if (on_draw) on_draw({static_cast<Sint16>(x), static_cast<Sint16>(y), static_cast<Uint16>(p->w), static_cast<Uint16>(p->h)}, utf8);
    return p->w;
}

}  // namespace text
