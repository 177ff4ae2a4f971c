#include "text/fonts.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

namespace text {

namespace {

constexpr int probe_size = 12;

std::string why_not_readable(const std::string& path) {
    errno = 0;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return errno ? std::strerror(errno) : "cannot open the file";
    std::fclose(f);
    return {};
}

}  // namespace

std::vector<std::string> default_font_paths() {
    return {"/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
            "/usr/share/fonts/truetype/droid/DroidSansFallbackFull.ttf",
            "/usr/share/fonts/truetype/nanum/NanumGothic.ttf"};
}

font_set::font_set(std::vector<std::string> paths, reporter report) : report_(std::move(report)) {
    if (!report_) report_ = [](const std::string& m) { std::cerr << "velmora: " << m << '\n'; };
    if (TTF_Init() != 0) {
        error_ = std::string("cannot start the font library: ") + TTF_GetError();
        report_(error_);
        return;
    }
    ttf_started_ = true;
    std::string missing;
    for (const std::string& p : paths) {
        std::string why = why_not_readable(p);
        if (why.empty()) {
            // Opened once to tell a font from any other file; kept for its size.
            if (TTF_Font* f = TTF_OpenFont(p.c_str(), probe_size)) {
                open_paths_.push_back(p);
                by_size_[probe_size].push_back(f);
                continue;
            }
            why = std::string("not a font the font library reads (") + TTF_GetError() + ")";
        }
        report_("cannot open the font \"" + p + "\": " + why + (paths.size() > 1 ? "; text is drawn with the other fonts" : ""));
        if (!missing.empty()) missing += ", ";
        missing += "\"" + p + "\"";
    }
    if (open_paths_.empty()) {
        error_ = "no font to draw text with: " + (missing.empty() ? std::string("none given") : missing) +
                 " cannot be opened";
        report_(error_);
    }
}

font_set::~font_set() {
    for (auto& [size, fonts] : by_size_)
        for (TTF_Font* f : fonts)
            if (f) TTF_CloseFont(f);
    if (ttf_started_) TTF_Quit();
}

std::vector<TTF_Font*>& font_set::fonts_at(int size) {
    auto it = by_size_.find(size);
    if (it != by_size_.end()) return it->second;
    std::vector<TTF_Font*> fonts;
    for (const std::string& p : open_paths_) fonts.push_back(TTF_OpenFont(p.c_str(), size));
    return by_size_.emplace(size, std::move(fonts)).first->second;
}

TTF_Font* font_set::font(std::size_t index, int size) {
    auto& fonts = fonts_at(size);
    return index < fonts.size() ? fonts[index] : nullptr;
}

int font_set::font_for(char32_t c, int size) {
    if (c > 0xFFFF) return -1;
    auto& fonts = fonts_at(size);
    for (std::size_t i = 0; i < fonts.size(); ++i)
        if (fonts[i] && TTF_GlyphIsProvided(fonts[i], static_cast<Uint16>(c))) return static_cast<int>(i);
    return -1;
}

int font_set::ascent(int size) {
    int a = 0;
    for (TTF_Font* f : fonts_at(size))
        if (f) a = std::max(a, TTF_FontAscent(f));
    return a;
}

int font_set::line_height(int size) {
    int a = 0, d = 0;
    for (TTF_Font* f : fonts_at(size)) {
        if (!f) continue;
        a = std::max(a, TTF_FontAscent(f));
        d = std::min(d, TTF_FontDescent(f));
    }
    // SDL_ttf draws the baseline's own row too (its TTF_FontHeight): without
    // it the lowest row, an underscore's at some sizes, is cut off.
    return a - d + 1;
}

}  // namespace text
