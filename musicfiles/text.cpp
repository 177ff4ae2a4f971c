#include "musicfiles/text.hpp"

namespace musicfiles {
namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

}  // namespace

std::string clean_text(std::string_view bytes) {
    std::size_t begin = 0, end = bytes.size();
    while (begin < end && (is_space(bytes[begin]) || bytes[begin] == '\0')) ++begin;
    while (end > begin && (is_space(bytes[end - 1]) || bytes[end - 1] == '\0')) --end;
    std::string out;
    out.reserve(end - begin);
    for (std::size_t i = begin; i < end;) {
        const vaz::utf8_sequence q = vaz::utf8_sequence_at(bytes, i);
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
