#include "server/names.hpp"

#include <cstdio>
#include <memory>
#include <stdexcept>

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/uspoof.h>

namespace server {
namespace {

constexpr int name_min = 3;
constexpr int name_max = 24;

struct spoof_closer {
    void operator()(USpoofChecker* s) const { uspoof_close(s); }
};

// The checker is only read after it is made, which ICU allows from any thread.
const USpoofChecker* checker() {
    static const std::unique_ptr<USpoofChecker, spoof_closer> c = [] {
        UErrorCode e = U_ZERO_ERROR;
        std::unique_ptr<USpoofChecker, spoof_closer> s(uspoof_open(&e));
        if (U_FAILURE(e)) throw std::runtime_error(std::string("cannot open ICU's spoof checker: ") + u_errorName(e));
        return s;
    }();
    return c.get();
}

icu::UnicodeString skeleton(const icu::UnicodeString& s) {
    UErrorCode e = U_ZERO_ERROR;
    icu::UnicodeString out;
    uspoof_getSkeletonUnicodeString(checker(), 0, s, out, &e);
    if (U_FAILURE(e)) throw std::runtime_error(std::string("cannot take a name's skeleton: ") + u_errorName(e));
    return out;
}

// Characters a reader cannot see or that reorder what they see.
bool unseen(UChar32 c) {
    const int8_t type = u_charType(c);
    return type == U_FORMAT_CHAR || type == U_CONTROL_CHAR || type == U_UNASSIGNED || type == U_PRIVATE_USE_CHAR ||
           type == U_SURROGATE || type == U_LINE_SEPARATOR || type == U_PARAGRAPH_SEPARATOR ||
           u_hasBinaryProperty(c, UCHAR_DEFAULT_IGNORABLE_CODE_POINT) || u_hasBinaryProperty(c, UCHAR_BIDI_CONTROL) ||
           u_hasBinaryProperty(c, UCHAR_VARIATION_SELECTOR) || (u_isUWhiteSpace(c) && c != ' ');
}

name_check refuse(std::string why) { return {false, std::move(why), {}}; }

}  // namespace

name_check check_name(const std::string& utf8) {
    const std::string rule = "a name is 3 to 24 printable characters, without spaces at either end";
    // fromUTF8 turns malformed bytes into U+FFFD; the round trip finds them.
    const icu::UnicodeString name = icu::UnicodeString::fromUTF8(utf8);
    std::string back;
    name.toUTF8String(back);
    if (back != utf8) return refuse(rule + " (this one is not valid UTF-8)");
    const int count = name.countChar32();
    if (count < name_min || count > name_max || name.charAt(0) == ' ' || name.charAt(name.length() - 1) == ' ')
        return refuse(rule);
    for (int i = 0; i < name.length(); i = name.moveIndex32(i, 1)) {
        const UChar32 c = name.char32At(i);
        if (unseen(c)) {
            char code[16];
            std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(c));
            return refuse(rule + "; " + code + " is invisible, reorders text or is not a character");
        }
    }
    UErrorCode e = U_ZERO_ERROR;
    const icu::Normalizer2* fold = icu::Normalizer2::getNFKCCasefoldInstance(e);
    if (U_FAILURE(e)) throw std::runtime_error(std::string("cannot load ICU's case folding: ") + u_errorName(e));
    const icu::UnicodeString folded = fold->normalize(skeleton(name), e);
    if (U_FAILURE(e)) throw std::runtime_error(std::string("cannot fold a name: ") + u_errorName(e));
    name_check ok{true, {}, {}};
    skeleton(folded).toUTF8String(ok.key);
    return ok;
}

}  // namespace server
