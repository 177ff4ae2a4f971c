#pragma once
#include <SDL_ttf.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace text {

// Debian's fonts, in the order a character looks for its glyph: DejaVu Sans
// for Latin, Greek, Cyrillic and symbols, Droid Sans Fallback for Japanese
// and Chinese, then Nanum Gothic for Korean (Debian's Droid Sans Fallback
// has only three of the 11172 Hangul syllables).
std::vector<std::string> default_font_paths();

// The fonts text is drawn with, each opened once per size it is asked for.
// A font file that cannot be opened is reported once (through `report`,
// standard error by default) and left out: text is drawn with the others as
// far as they reach. With none left, usable() is false and error() says why.
class font_set {
public:
    using reporter = std::function<void(const std::string&)>;

    explicit font_set(std::vector<std::string> paths = default_font_paths(), reporter report = {});
    ~font_set();
    font_set(const font_set&) = delete;
    font_set& operator=(const font_set&) = delete;

    bool usable() const { return !open_paths_.empty(); }
    const std::string& error() const { return error_; }
    std::size_t font_count() const { return open_paths_.size(); }
    const std::string& path(std::size_t index) const { return open_paths_.at(index); }

    // The first font, in order, that has a glyph for c at this size; -1 when
    // none has.
    int font_for(char32_t c, int size);
    // The font at this index and size, null when it cannot be opened.
    TTF_Font* font(std::size_t index, int size);
    // Pixels from the top of a line to its baseline, and the line's height:
    // room for the tallest and deepest of the fonts, the baseline's row included.
    int ascent(int size);
    int line_height(int size);

private:
    std::vector<TTF_Font*>& fonts_at(int size);

    std::vector<std::string> open_paths_;
    std::map<int, std::vector<TTF_Font*>> by_size_;
    reporter report_;
    std::string error_;
    bool ttf_started_ = false;
};

}  // namespace text
