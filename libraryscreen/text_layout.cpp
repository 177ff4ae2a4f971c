#include "libraryscreen/text_layout.hpp"

#include "vaz/utf8.hpp"

namespace libraryscreen {
namespace {

// Where a line may break before a character: after a space, and anywhere
// in scripts written without spaces (CJK ideographs, kana, Hangul).
bool breaks_anywhere(char32_t c) {
    return (c >= 0x2E80 && c <= 0x9FFF) || (c >= 0xAC00 && c <= 0xD7AF) || (c >= 0xF900 && c <= 0xFAFF) ||
           (c >= 0xFF00 && c <= 0xFFEF) || (c >= 0x20000 && c <= 0x3FFFF);
}

// The text's characters as UTF-8 pieces.
std::vector<std::string> characters(const std::string& utf8) {
    std::vector<std::string> out;
    for (std::size_t at = 0; at < utf8.size();) {
        const vaz::utf8_sequence q = vaz::utf8_sequence_at(utf8, at);
        out.push_back(utf8.substr(at, q.length));
        at += q.length;
    }
    return out;
}

// Pieces that stay together on a line: words with the space after them, and
// each character of a script written without spaces.
std::vector<std::string> pieces_of(const std::string& utf8) {
    std::vector<std::string> pieces;
    std::string word;
    for (std::size_t at = 0; at < utf8.size();) {
        const vaz::utf8_sequence q = vaz::utf8_sequence_at(utf8, at);
        const std::string c = utf8.substr(at, q.length);
        at += q.length;
        if (breaks_anywhere(q.code_point)) {
            if (!word.empty()) pieces.push_back(std::move(word));
            word.clear();
            pieces.push_back(c);
        } else if (c == " ") {
            word += c;
            pieces.push_back(std::move(word));
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty()) pieces.push_back(std::move(word));
    return pieces;
}

std::string trimmed(std::string line) {
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line;
}

}  // namespace

std::vector<std::string> wrap_lines(text::text_cache& text, const std::string& utf8, int size, int width,
                                    int max_lines) {
    std::vector<std::string> lines;
    std::string line;
    auto fits = [&](const std::string& s) { return text.width(trimmed(s), size) <= width; };
    auto push = [&](std::string l) { lines.push_back(trimmed(std::move(l))); };
    for (const std::string& piece : pieces_of(utf8)) {
        if (fits(line + piece)) {
            line += piece;
            continue;
        }
        if (!line.empty()) {
            push(line);
            line.clear();
        }
        if (fits(piece)) {
            line = piece;
            continue;
        }
        // A word wider than a line goes character by character.
        for (const std::string& c : characters(piece)) {
            if (!line.empty() && !fits(line + c)) {
                push(line);
                line.clear();
            }
            line += c;
        }
    }
    if (!trimmed(line).empty()) push(line);
    if (max_lines > 0 && static_cast<int>(lines.size()) > max_lines) {
        // The last line kept holds the rest, for the drawing to cut with an ellipsis.
        std::string rest;
        for (std::size_t i = static_cast<std::size_t>(max_lines) - 1; i < lines.size(); ++i)
            rest += (rest.empty() ? "" : " ") + lines[i];
        lines.resize(static_cast<std::size_t>(max_lines));
        lines.back() = rest;
    }
    return lines;
}

int line_step(text::text_cache& text, int size) { return text.fonts().line_height(size) + 2; }

int draw_wrapped(text::text_cache& text, SDL_Surface* target, int x, int y, const std::string& utf8,
                 const text::style& s, int width, int max_lines) {
    for (const std::string& line : wrap_lines(text, utf8, s.size, width, max_lines)) {
        text.draw(target, x, y, line, s, width);
        y += line_step(text, s.size);
    }
    return y;
}

}  // namespace libraryscreen
