#include "musicfiles/text.hpp"

namespace musicfiles {
namespace {

// The valid UTF-8 sequence at `at`, or else the maximal ill-formed part
// there (its lead byte and the continuation bytes that still fit), which
// becomes one U+FFFD, as the Unicode standard recommends. The second
// byte's bounds keep out overlong forms, surrogates and values past
// U+10FFFF.
struct sequence {
    std::size_t length;
    bool valid;
};

sequence sequence_at(std::string_view s, std::size_t at) {
    const auto b0 = static_cast<unsigned char>(s[at]);
    if (b0 < 0x80) return {1, true};
    std::size_t length = 0;
    unsigned lo = 0x80, hi = 0xbf;
    if (b0 >= 0xc2 && b0 <= 0xdf) length = 2;
    else if (b0 >= 0xe0 && b0 <= 0xef) length = 3, lo = b0 == 0xe0 ? 0xa0 : 0x80, hi = b0 == 0xed ? 0x9f : 0xbf;
    else if (b0 >= 0xf0 && b0 <= 0xf4) length = 4, lo = b0 == 0xf0 ? 0x90 : 0x80, hi = b0 == 0xf4 ? 0x8f : 0xbf;
    else return {1, false};
    std::size_t k = 1;
    for (; k < length && at + k < s.size(); ++k) {
        const auto b = static_cast<unsigned char>(s[at + k]);
        if (k == 1 ? (b < lo || b > hi) : (b & 0xc0) != 0x80) break;
    }
    return {k, k == length};
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        const sequence q = sequence_at(bytes, i);
        if (!q.valid) return false;
        i += q.length;
    }
    return true;
}

std::string clean_text(std::string_view bytes) {
    std::size_t begin = 0, end = bytes.size();
    while (begin < end && (is_space(bytes[begin]) || bytes[begin] == '\0')) ++begin;
    while (end > begin && (is_space(bytes[end - 1]) || bytes[end - 1] == '\0')) --end;
    std::string out;
    out.reserve(end - begin);
    for (std::size_t i = begin; i < end;) {
        const sequence q = sequence_at(bytes, i);
        const std::size_t n = q.length;
        if (!q.valid) {
            out += "\xef\xbf\xbd";
            i += n;
            continue;
        }
        const auto b0 = static_cast<unsigned char>(bytes[i]);
        const bool c0_or_del = n == 1 && (b0 < 0x20 || b0 == 0x7f);
        const bool c1 = n == 2 && b0 == 0xc2 && static_cast<unsigned char>(bytes[i + 1]) < 0xa0;
        if (c0_or_del || c1)
            out += '?';
        else
            out.append(bytes.substr(i, n));
        i += n;
    }
    return out;
}

std::string file_name(std::string_view path) {
    const std::size_t slash = path.find_last_of('/');
    return clean_text(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string title_from_file_name(std::string_view path) {
    const std::size_t slash = path.find_last_of('/');
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    const std::size_t dot = name.find_last_of('.');
    // ".flac" alone keeps its name: there would be nothing left.
    if (dot != std::string_view::npos && dot > 0) name = name.substr(0, dot);
    return clean_text(name);
}

bool is_spaceless_script(std::uint32_t cp) {
    struct range {
        std::uint32_t first, last;
    };
    static constexpr range ranges[] = {
        {0x0e00, 0x0eff},    // Thai, Lao
        {0x0f00, 0x0fff},    // Tibetan
        {0x1000, 0x109f},    // Myanmar
        {0x1780, 0x17ff},    // Khmer
        {0x2e80, 0x2fdf},    // CJK radicals
        {0x3000, 0x30ff},    // CJK punctuation, Hiragana, Katakana
        {0x3100, 0x31ff},    // Bopomofo, Katakana extensions
        {0x3400, 0x4dbf},    // CJK extension A
        {0x4e00, 0x9fff},    // CJK unified ideographs
        {0xa000, 0xa4cf},    // Yi
        {0xf900, 0xfaff},    // CJK compatibility ideographs
        {0xff61, 0xff9f},    // half-width Katakana
        {0x20000, 0x3134f},  // CJK extensions B to G
    };
    for (const range& r : ranges)
        if (cp >= r.first && cp <= r.last) return true;
    return false;
}

}  // namespace musicfiles
