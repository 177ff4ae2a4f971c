#include "converter/console.hpp"

#include <iconv.h>
#include <langinfo.h>
#include <libintl.h>
#include <locale.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <system_error>

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

namespace {

bool translating = false;

bool is_c_locale(const std::string& name) {
    return name.empty() || name == "C" || name == "POSIX" || name.rfind("C.", 0) == 0 || name.rfind("C@", 0) == 0;
}

// The locale the environment asks for messages in, as setlocale reads it.
std::string requested_messages_locale() {
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value && *value) return value;
    }
    return {};
}

bool holds_a_catalogue(const std::string& dir) {
    std::error_code ec;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code exists_ec;
        if (std::filesystem::is_regular_file(it->path() / "LC_MESSAGES" / (std::string(message_domain) + ".mo"),
                                             exists_ec))
            return true;
    }
    return false;
}

}  // namespace

std::vector<std::string> catalogue_dirs(const std::string& exe_dir) {
    std::vector<std::string> dirs;
    if (!exe_dir.empty()) {
        const std::filesystem::path dir(exe_dir);
        dirs.push_back((dir.parent_path() / "share" / "locale").string());
        dirs.push_back((dir / "locale").string());
    }
#ifdef VELMORA_LOCALEDIR
    dirs.push_back(VELMORA_LOCALEDIR);
#endif
    return dirs;
}

bool use_translations(const std::vector<std::string>& dirs) {
    translating = false;
    const char* set = setlocale(LC_MESSAGES, "");
    const std::string wanted = set ? std::string(set) : requested_messages_locale();
    if (is_c_locale(wanted)) {
        if (set) setlocale(LC_MESSAGES, "C");
        return false;
    }
    if (!set) {
        // Not generated here (a fresh system has only C.UTF-8): gettext reads
        // the language from LANGUAGE under any locale but plain C.
        if (!setlocale(LC_MESSAGES, "C.UTF-8")) return false;
        const char* language = std::getenv("LANGUAGE");
        if (!language || !*language) {
            const std::string code = wanted.substr(0, wanted.find_first_of(".@"));
            setenv("LANGUAGE", code.c_str(), 1);
        }
    }
    const auto dir = std::find_if(dirs.begin(), dirs.end(), holds_a_catalogue);
    if (dir == dirs.end()) return false;
    if (!bindtextdomain(message_domain, dir->c_str())) return false;
    // The console encodes each line itself, so the catalogue hands out UTF-8.
    if (!bind_textdomain_codeset(message_domain, "UTF-8")) return false;
    translating = true;
    return true;
}

std::string translate(std::string_view msgid) {
    if (!translating) return std::string(msgid);
    const std::string key(msgid);
    return dgettext(message_domain, key.c_str());
}

void console::message_naming(std::string_view plain, std::string_view naming, const std::string& name) {
    if (translate(plain) == plain) {
        line(plain);
        return;
    }
    std::string text = translate(naming);
    if (const auto at = text.find("%s"); at != std::string::npos) text.replace(at, 2, name);
    line(text);
}

void console::line(std::string_view utf8) { out_ << encode_for_console(utf8, encoding_) << std::endl; }

}  // namespace converter
