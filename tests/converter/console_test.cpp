#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>

#include "converter/console.hpp"

using converter::console_encoding;
namespace msg = converter::messages;

namespace {

// Bytes from "2A 20 ..." notation.
std::string hex(const char* text) {
    std::string out;
    std::istringstream in(text);
    unsigned v;
    while (in >> std::hex >> v) out.push_back(static_cast<char>(v));
    return out;
}

std::string shift_jis(std::string_view utf8) { return converter::encode_for_console(utf8, console_encoding::shift_jis); }

}  // namespace

// Code page 932 bytes of each text, taken from the code page's table.
TEST(ConsoleText, EveryMessageInShiftJis) {
    EXPECT_EQ(shift_jis(msg::banner_standard), hex("2A 20 76 65 6C 6D 6F 72 61 20 92 65 96 8B 95 CF 8A B7 8A ED 2A"));
    EXPECT_EQ(shift_jis(msg::banner_zetaflux),
              hex("2A 20 76 65 6C 6D 6F 72 61 20 92 65 96 8B 95 CF 8A B7 8A ED 20 7A 65 74 61 66 6C 75 78 20 2A"));
    EXPECT_EQ(shift_jis(msg::usage_source),
              hex("91 E6 31 88 F8 90 94 82 C9 95 CF 8A B7 8C B3 82 CC 83 74 83 40 83 43 83 8B 96 BC 82 F0 8E 77 92 "
                  "E8 82 B5 82 C4 82 AD 82 BE 82 B3 82 A2 2E"));
    EXPECT_EQ(shift_jis(msg::usage_output),
              hex("91 E6 32 88 F8 90 94 82 C9 90 B6 90 AC 82 B7 82 E9 83 74 83 40 83 43 83 8B 96 BC 82 F0 8E 77 92 "
                  "E8 82 B5 82 C4 82 AD 82 BE 82 B3 82 A2 2E"));
    EXPECT_EQ(shift_jis(msg::load_failed),
              hex("77 61 76 83 74 83 40 83 43 83 8B 82 CC 93 C7 82 DD 8D 9E 82 DD 82 C9 8E B8 94 73 82 B5 82 DC 82 "
                  "B5 82 BD 2E"));
    EXPECT_EQ(shift_jis(msg::rate_refused),
              hex("34 34 31 30 30 88 C8 8A 4F 82 CC 83 54 83 93 83 76 83 8A 83 93 83 4F 83 8C 81 5B 83 67 82 C9 82 "
                  "CD 91 CE 89 9E 82 B5 82 C4 82 A2 82 DC 82 B9 82 F1 2E"));
    EXPECT_EQ(shift_jis(msg::output_not_created),
              hex("8F 6F 97 CD 83 74 83 40 83 43 83 8B 82 CC 90 B6 90 AC 82 C9 8E B8 94 73 82 B5 82 DC 82 B5 82 BD 2E"));
    EXPECT_EQ(shift_jis(msg::output_not_written),
              hex("8F 6F 97 CD 83 74 83 40 83 43 83 8B 82 CC 8F 91 82 AB 8D 9E 82 DD 82 C9 8E B8 94 73 82 B5 82 DC 82 "
                  "B5 82 BD 2E"));
    EXPECT_EQ(shift_jis(msg::conversion_failed), hex("95 CF 8A B7 82 C9 8E B8 94 73 82 B5 82 DC 82 B5 82 BD 2E"));
    EXPECT_EQ(shift_jis(msg::conversion_succeeded), hex("90 B3 8F ED 82 C9 8F 49 97 B9 82 B5 82 DC 82 B5 82 BD 2E"));
    EXPECT_EQ(shift_jis("12 / 180 : 2 / 2"), "12 / 180 : 2 / 2");
}

TEST(ConsoleText, Utf8PassesUnchanged) {
    EXPECT_EQ(converter::encode_for_console(msg::conversion_succeeded, console_encoding::utf8),
              "正常に終了しました.");
}

TEST(ConsoleText, ShiftJisOnlyForShiftJisCodeSets) {
    for (const char* sjis : {"SHIFT_JIS", "Shift-JIS", "SJIS", "sjis", "CP932", "cp932", "MS932", "WINDOWS-31J",
                             "SHIFT_JISX0213"})
        EXPECT_EQ(converter::encoding_of_codeset(sjis), console_encoding::shift_jis) << sjis;
    for (const char* other : {"UTF-8", "utf8", "ANSI_X3.4-1968", "EUC-JP", "ISO-8859-1", ""})
        EXPECT_EQ(converter::encoding_of_codeset(other), console_encoding::utf8) << other;
}

TEST(ConsoleText, EachLineEndsWithALineFeed) {
    std::ostringstream out;
    converter::console con(out, console_encoding::shift_jis);
    con.line(msg::conversion_failed);
    con.line("1 / 1 : 1 / 2");
    EXPECT_EQ(out.str(), hex("95 CF 8A B7 82 C9 8E B8 94 73 82 B5 82 DC 82 B5 82 BD 2E 0A") + "1 / 1 : 1 / 2\n");
}

// The catalogue is keyed by the texts above: one edited without its
// translation would fall back to Japanese under English locales unnoticed.
TEST(ConsoleText, EnglishCatalogueTranslatesEveryMessage) {
    setenv("LC_ALL", "", 1);
    setenv("LANGUAGE", "", 1);
    setenv("LANG", "en_US.UTF-8", 1);
    ASSERT_TRUE(converter::use_translations({std::string(VELMORA_BUILD_DIR) + "/locale"}));
    for (std::string_view m : {msg::banner_standard, msg::banner_zetaflux, msg::usage_source, msg::usage_output,
                               msg::load_failed, msg::load_failed_naming, msg::rate_refused,
                               msg::output_not_created, msg::output_not_written, msg::conversion_failed,
                               msg::conversion_succeeded, msg::help_syntax, msg::help_purpose, msg::help_option_help,
                               msg::help_option_version, msg::help_option_threads}) {
        const std::string english = converter::translate(m);
        EXPECT_NE(english, m);
        EXPECT_TRUE(std::all_of(english.begin(), english.end(), [](char c) { return (c & 0x80) == 0; })) << english;
    }
    EXPECT_EQ(converter::translate("12 / 180 : 2 / 2"), "12 / 180 : 2 / 2");

    // The C locales keep the source texts whatever LANGUAGE asks for.
    setenv("LC_ALL", "C.UTF-8", 1);
    setenv("LANGUAGE", "en", 1);
    EXPECT_FALSE(converter::use_translations({std::string(VELMORA_BUILD_DIR) + "/locale"}));
    EXPECT_EQ(converter::translate(msg::conversion_failed), msg::conversion_failed);
    unsetenv("LC_ALL");
    unsetenv("LANGUAGE");
    unsetenv("LANG");
}
