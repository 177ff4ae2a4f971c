#include "converter/console.hpp"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <algorithm>
#include <cctype>
#include <ostream>

namespace converter {

console_encoding encoding_of_codeset(std::string_view codeset) {
    std::string name;
    for (char c : codeset)
        if (c != '-' && c != '_') name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const char* sjis : {"SHIFTJIS", "SJIS", "CP932", "MS932", "WINDOWS31J", "SHIFTJISX0213"})
        if (name == sjis) return console_encoding::shift_jis;
    return console_encoding::utf8;
}

console_encoding locale_console_encoding() {
    locale_t loc = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
    if (loc == static_cast<locale_t>(0)) return console_encoding::utf8;
    const console_encoding e = encoding_of_codeset(nl_langinfo_l(CODESET, loc));
    freelocale(loc);
    return e;
}

std::string encode_for_console(std::string_view utf8, console_encoding encoding) {
    const bool ascii = std::all_of(utf8.begin(), utf8.end(), [](char c) { return (c & 0x80) == 0; });
    if (encoding == console_encoding::utf8 || ascii) return std::string(utf8);
    iconv_t cd = iconv_open("CP932", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(utf8);
    std::string out(utf8.size() * 2 + 8, '\0');
    char* in_p = const_cast<char*>(utf8.data());
    std::size_t in_left = utf8.size();
    char* out_p = out.data();
    std::size_t out_left = out.size();
    const std::size_t r = iconv(cd, &in_p, &in_left, &out_p, &out_left);
    iconv_close(cd);
    if (r == static_cast<std::size_t>(-1)) return std::string(utf8);
    out.resize(out.size() - out_left);
    return out;
}

void console::line(std::string_view utf8) { out_ << encode_for_console(utf8, encoding_) << std::endl; }

}  // namespace converter
