#include "musicfiles/text.hpp"

#include <gtest/gtest.h>

using namespace musicfiles;

TEST(CleanText, KeepsValidTextAndMendsTheRest) {
    struct row {
        std::string in, out;
    } rows[] = {
        {"  Café  ", "Café"},                              // trimmed
        {"東京タワー", "東京タワー"},                      // valid UTF-8 as it is
        {"a\x1b[31mred", "a?[31mred"},                     // an escape cannot reach a terminal
        {"line\nbreak\tand\x7f", "line?break?and?"},       // C0 and DEL
        {"c1\xc2\x9b", "c1?"},                             // U+009B, a C1 control (CSI)
        {"bad\xff\xfe", "bad\xef\xbf\xbd\xef\xbf\xbd"},    // bytes that start nothing: U+FFFD each
        {"\xe6\x9dz\xf0\x9f\x8e", "\xef\xbf\xbdz\xef\xbf\xbd"},  // the text after a cut part is kept
        {"over\xc0\xaflong", "over\xef\xbf\xbd\xef\xbf\xbdlong"},  // an overlong '/'
        {"cut\xe6\x9d", "cut\xef\xbf\xbd"},                // a sequence cut short: one part
        {"sur\xed\xa0\x80", "sur\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // a surrogate
        {std::string("nul\0\0", 5), "nul"},                // padding of old tags
    };
    for (const row& r : rows) {
        const std::string cleaned = clean_text(r.in);
        EXPECT_EQ(cleaned, r.out) << r.in;
        EXPECT_TRUE(is_valid_utf8(cleaned)) << r.in;
    }
    EXPECT_FALSE(is_valid_utf8("\xff"));
}

TEST(CleanText, TitleFromFileNameDropsFolderAndEnding) {
    EXPECT_EQ(title_from_file_name("/m/Artist/01 Intro.flac"), "01 Intro");
    EXPECT_EQ(title_from_file_name("/m/.flac"), ".flac");
    EXPECT_EQ(title_from_file_name("/m/a.b.mp3"), "a.b");
    EXPECT_EQ(title_from_file_name("/m/\xff.mp3"), "\xef\xbf\xbd");
    EXPECT_EQ(file_name("/m/x/a.ogg"), "a.ogg");
}
