// Text in any script: the strict decoder, the per-character font fallback,
// and strings drawn as cached pictures, fitted to a width.
#include <SDL.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "support/scratch_dir.hpp"
#include "text/fonts.hpp"
#include "text/text_cache.hpp"
#include "text/utf8.hpp"

namespace {

constexpr char32_t bad = text::replacement_character;

struct surface_deleter {
    void operator()(SDL_Surface* s) const { SDL_FreeSurface(s); }
};
using owned_surface = std::unique_ptr<SDL_Surface, surface_deleter>;

// A 32-bit surface laid out as the game's screen is: 0x00RRGGBB.
owned_surface screen_like() {
    return owned_surface(SDL_CreateRGBSurface(SDL_SWSURFACE, 640, 480, 32, 0xFF0000, 0xFF00, 0xFF, 0));
}

Uint32 pixel(const SDL_Surface* s, int x, int y) {
    return static_cast<const Uint32*>(s->pixels)[y * s->pitch / 4 + x];
}

// Columns x0..x0+w of a picture, row by row.
std::vector<Uint32> columns(const SDL_Surface* s, int x0, int w) {
    std::vector<Uint32> out;
    for (int y = 0; y < s->h; ++y)
        for (int x = x0; x < x0 + w; ++x) out.push_back(pixel(s, x, y));
    return out;
}

std::vector<Uint32> whole(const SDL_Surface* s) { return s ? columns(s, 0, s->w) : std::vector<Uint32>{}; }

class Text : public ::testing::Test {
protected:
    std::vector<Uint32> drawn(const std::string& utf8, int max_width = 0, text::fit how = text::fit::ellipsis) {
        return whole(cache.picture(screen->format, utf8, {}, max_width, how));
    }

    owned_surface screen = screen_like();
    text::font_set fonts;
    text::text_cache cache{fonts};
};

}  // namespace

TEST(Utf8, DecodesEachByteSequenceStrictly) {
    struct row {
        const char* what;
        std::string bytes;
        std::u32string code_points;
    };
    const row rows[] = {
        {"ASCII", "ab", U"ab"},
        {"two bytes", "\xC3\xA9", U"\u00E9"},
        {"three bytes", "\xE6\x97\xA5", U"\u65E5"},
        {"four bytes", "\xF0\x9F\x98\x80", U"\U0001F600"},
        {"the highest code point", "\xF4\x8F\xBF\xBF", U"\U0010FFFF"},
        {"a NUL is a character", std::string("a\0b", 3), std::u32string(U"a\0b", 3)},
        {"overlong two-byte slash", "\xC0\xAF", {bad, bad}},
        {"overlong three-byte", "\xE0\x80\xAF", {bad, bad, bad}},
        {"overlong four-byte", "\xF0\x80\x80\xAF", {bad, bad, bad, bad}},
        {"surrogate", "\xED\xA0\x80", {bad, bad, bad}},
        {"past U+10FFFF", "\xF4\x90\x80\x80", {bad, bad, bad, bad}},
        {"lead byte F5", "\xF5\x80", {bad, bad}},
        {"FE and FF", "\xFE\xFF", {bad, bad}},
        {"stray continuation", "\x80" "a", {bad, U'a'}},
        {"cut at the end", "\xE6\x97", {bad}},
        {"cut before ASCII", "\xE6\x97" "a", {bad, U'a'}},
        {"cut four-byte before a lead", "\xF0\x9F\x98\xE6\x97\xA5", {bad, U'\u65E5'}},
    };
    for (const row& r : rows) {
        EXPECT_EQ(text::decode_utf8(r.bytes), r.code_points) << r.what;
        std::string again;
        for (char32_t c : r.code_points) text::append_utf8(again, c);
        if (r.code_points.find(bad) == std::u32string::npos) {
            EXPECT_EQ(again, r.bytes) << r.what << ": encoded back";
        }
    }
}

TEST(Utf8, ControlCharactersAreNeverDrawnRaw) {
    const std::pair<char32_t, char32_t> rows[] = {
        {U'A', U'A'},      {U'\u65E5', U'\u65E5'}, {U'\t', U' '},      {U'\n', U' '},
        {U'\x01', bad},    {U'\x7F', bad},         {U'\u0085', bad},   {U'\uFEFF', 0},
        {U'\uFFFE', bad},  {U'\uFFFF', bad},       {U'\U0001F600', bad},
    };
    for (const auto& [c, shown] : rows) EXPECT_EQ(text::drawable(c), shown) << std::hex << c;
}

TEST_F(Text, EachCharacterTakesTheFirstFontWithItsGlyph) {
    ASSERT_TRUE(fonts.usable()) << fonts.error();
    ASSERT_EQ(fonts.font_count(), 3u);
    EXPECT_NE(fonts.path(0).find("DejaVuSans.ttf"), std::string::npos);
    EXPECT_NE(fonts.path(1).find("DroidSansFallbackFull.ttf"), std::string::npos);
    EXPECT_NE(fonts.path(2).find("NanumGothic.ttf"), std::string::npos);
    const std::pair<char32_t, int> rows[] = {{U'A', 0},      {U'\u00E9', 0},  {U'\u0416', 0}, {U'\u2026', 0},
                                             {U'\u65E5', 1}, {U'\u3042', 1},  {U'\u4E2D', 1}, {U'\uD55C', 2},
                                             {U'\uAD6D', 2}, {U'\uE000', -1}};
    for (const auto& [c, font] : rows) EXPECT_EQ(fonts.font_for(c, 14), font) << std::hex << c;
}

// A line mixing scripts is the pictures of its runs side by side on one
// baseline.
TEST_F(Text, MixedScriptsDrawAsOneLineOfRuns) {
    const std::string latin = "Abc ", japanese = "日本語";
    SDL_Surface* both = cache.picture(screen->format, latin + japanese, {});
    ASSERT_NE(both, nullptr);
    const int w = cache.width(latin, 14);
    ASSERT_GT(w, 0);
    EXPECT_EQ(both->w, w + cache.width(japanese, 14));
    EXPECT_EQ(both->h, fonts.line_height(14));
    const auto joined = whole(both);
    const auto left = drawn(latin), right = drawn(japanese);
    SDL_Surface* again = cache.picture(screen->format, latin + japanese, {});
    EXPECT_EQ(columns(again, 0, w), left);
    EXPECT_EQ(columns(again, w, again->w - w), right);
}

// An underscore lies on the lowest row a font draws (in a player's name,
// "Lena_link"): the picture keeps that row at every size the screens use.
TEST_F(Text, UnderscoresAreDrawnAtEverySize) {
    for (int size = 11; size <= 24; ++size) {
        SDL_Surface* p = cache.picture(screen->format, "_", {size, 0xFFFFFF, 0});
        ASSERT_NE(p, nullptr) << size;
        int lit = 0;
        for (Uint32 v : whole(p)) lit += v != 0;
        EXPECT_GT(lit, 0) << "no underscore at size " << size;
        EXPECT_EQ(p->h, fonts.line_height(size)) << size;
    }
}

TEST_F(Text, IllFormedBytesAndControlsDrawAsReplacementCharacters) {
    EXPECT_EQ(drawn("a\xC0\xAF" "b"), drawn("a\uFFFD\uFFFD" "b"));
    EXPECT_EQ(drawn("a\x01" "b"), drawn("a\uFFFD" "b"));
    EXPECT_EQ(drawn("a\xEF\xBB\xBF" "b"), drawn("ab")) << "a byte-order mark draws nothing";
    EXPECT_EQ(drawn("\xF0\x9F\x98\x80"), drawn("\uFFFD")) << "past the fonts' reach";
    EXPECT_FALSE(drawn("\xFF\xFE\xFD").empty());
    EXPECT_TRUE(drawn("").empty());
}

TEST_F(Text, IsAntiAliasedAgainstItsBackground) {
    SDL_Surface* p = cache.picture(screen->format, "Wave", {14, 0xFFFFFF, 0x000000});
    ASSERT_NE(p, nullptr);
    int full = 0, between = 0;
    for (Uint32 v : whole(p)) {
        full += v == 0xFFFFFF;
        between += v != 0xFFFFFF && v != 0;
    }
    EXPECT_GT(full, 0);
    EXPECT_GT(between, 0);
}

TEST_F(Text, WiderTextIsEllipsisedOrClippedToItsWidth) {
    const std::string title = "A rather long title 長い曲名";
    const auto full = drawn(title);
    SDL_Surface* whole_picture = cache.picture(screen->format, title, {});
    ASSERT_NE(whole_picture, nullptr);
    const int limit = whole_picture->w / 2;
    const auto expected_clip = columns(whole_picture, 0, limit);

    SDL_Surface* clipped = cache.picture(screen->format, title, {}, limit, text::fit::clip);
    ASSERT_NE(clipped, nullptr);
    EXPECT_EQ(clipped->w, limit);
    EXPECT_EQ(whole(clipped), expected_clip);

    SDL_Surface* shortened = cache.picture(screen->format, title, {}, limit, text::fit::ellipsis);
    ASSERT_NE(shortened, nullptr);
    EXPECT_LE(shortened->w, limit);
    EXPECT_GT(shortened->w, limit / 2);
    const auto got = whole(shortened);
    bool matched = false;  // some whole-character prefix of the title, then the ellipsis
    for (std::size_t n = 1; n < title.size() && !matched; ++n) {
        if ((static_cast<unsigned char>(title[n]) & 0xC0) == 0x80) continue;
        matched = drawn(title.substr(0, n) + "\u2026") == got;
    }
    EXPECT_TRUE(matched);
    EXPECT_EQ(drawn(title, whole_picture->w), full) << "text that fits is drawn whole";
}

TEST_F(Text, TheCacheKeepsPicturesAndDropsTheLeastRecent) {
    text::text_cache small(fonts, 2);
    const auto* f = screen->format;
    SDL_Surface* a = small.picture(f, "first", {});
    EXPECT_EQ(small.picture(f, "first", {}), a);
    EXPECT_EQ(small.hits(), 1u);
    EXPECT_NE(small.picture(f, "first", {20}), a) << "another style is another picture";
    small.picture(f, "second", {});
    EXPECT_EQ(small.entries(), 2u);
    const auto misses = small.misses();
    small.picture(f, "first", {});
    EXPECT_EQ(small.misses(), misses + 1) << "the oldest was dropped";
    EXPECT_EQ(small.draw(screen.get(), 630, 470, "second", {}), small.picture(f, "second", {})->w)
        << "drawn across the edge, clipped by the blit";
}

// What is drawn reads back as the text it was given.
TEST_F(Text, ReadsBackThroughCharacterRecognition) {
    test_support::scratch_dir dir;
    auto picture = owned_surface(SDL_CreateRGBSurface(SDL_SWSURFACE, 480, 60, 32, 0xFF0000, 0xFF00, 0xFF, 0));
    ASSERT_GT(cache.draw(picture.get(), 10, 10, "Song 00042 of the Night", {20}), 0);
    ASSERT_EQ(SDL_SaveBMP(picture.get(), (dir / "title.bmp").c_str()), 0);
    std::FILE* ocr = popen(("tesseract '" + dir / "title.bmp" + "' stdout 2>/dev/null").c_str(), "r");
    ASSERT_NE(ocr, nullptr);
    std::string read;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, ocr)) read += buffer;
    ASSERT_EQ(pclose(ocr), 0) << "tesseract runs (scripts/setup.sh installs it)";
    EXPECT_EQ(read.substr(0, read.find('\n')), "Song 00042 of the Night");
}

TEST(Fonts, AMissingFontIsReportedOnceAndTheOthersStillDraw) {
    std::vector<std::string> reports;
    text::font_set fonts({"/nonexistent/font.ttf", text::default_font_paths()[0]},
                         [&](const std::string& m) { reports.push_back(m); });
    text::text_cache cache(fonts);
    auto screen = screen_like();
    for (int size : {12, 14, 20}) EXPECT_GT(cache.draw(screen.get(), 0, 0, "Title 日本", {size}), 0);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("\"/nonexistent/font.ttf\": No such file or directory"), std::string::npos)
        << reports[0];
    EXPECT_EQ(fonts.font_for(U'日', 14), -1);
    EXPECT_EQ(cache.picture(screen->format, "日", {})->w, cache.width("\uFFFD", 14)) << "drawn as U+FFFD";
}

TEST(Fonts, WithoutAnyFontNothingIsDrawnAndTheReasonIsGiven) {
    test_support::scratch_dir dir;
    std::ofstream(dir / "not_a_font.ttf") << "plain text";
    std::vector<std::string> reports;
    text::font_set fonts({"/nonexistent/font.ttf", dir / "not_a_font.ttf"},
                         [&](const std::string& m) { reports.push_back(m); });
    EXPECT_FALSE(fonts.usable());
    EXPECT_NE(fonts.error().find("no font to draw text with"), std::string::npos) << fonts.error();
    EXPECT_EQ(reports.size(), 3u) << "each file, then the verdict";
    text::text_cache cache(fonts);
    auto screen = screen_like();
    EXPECT_EQ(cache.draw(screen.get(), 0, 0, "Title", {}), 0);
    EXPECT_EQ(fonts.font_for(U'A', 14), -1);
}
