#include <SDL_image.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "screen.hpp"
#include "shell/sprites.hpp"
#include "shell/video.hpp"

namespace {

using namespace drawing_test;
namespace fs = std::filesystem;

struct named_sprite {
    const char* name;
    const sprite* s;
    SDL_Rect where;  // as the sprite table places it
};

std::vector<named_sprite> sprite_table() {
    std::vector<named_sprite> t = {
        {"point glyph", &point_glyph, {110, 0, 5, 7}},
        {"title image", &title_image, {0, 40, 60, 40}},
        {"title label", &title_label, {60, 10, 40, 10}},
        {"outi image", &outi_image, {60, 20, 100, 20}},
        {"first counter label", &first_counter_label, {100, 10, 40, 10}},
        {"second counter label", &second_counter_label, {60, 60, 30, 10}},
        {"bombed image", &bombed_image, {60, 40, 50, 10}},
        {"smile image", &smile_image, {60, 50, 50, 10}},
        {"gameover image", &gameover_image, {0, 80, 70, 20}},
        {"blood image", &blood_image, {0, 100, 5, 5}},
        {"ship halo", &ship_halo, {10, 100, 30, 30}},
        {"bullet halo", &bullet_halo, {40, 100, 20, 20}},
    };
    for (int d = 0; d < 10; ++d)
        t.push_back({"digit", digits[d], {static_cast<Sint16>(60 + 5 * d), 0, 5, 7}});
    const int frame_x[4][3] = {{0, 10, 20}, {30, 40, 50}, {0, 10, 20}, {30, 40, 50}};
    const int frame_y[4] = {20, 20, 0, 0};
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 3; ++c)
            t.push_back({"ship frame", ship_frames[r][c],
                         {static_cast<Sint16>(frame_x[r][c]), static_cast<Sint16>(frame_y[r]), 10, 15}});
    return t;
}

TEST(SpriteSheet, RecordsMatchTheSpriteTable) {
    for (const named_sprite& n : sprite_table()) {
        SCOPED_TRACE(n.name);
        EXPECT_EQ(n.s->sheet, &sprite_sheet);
        EXPECT_EQ(n.s->rect.x, n.where.x);
        EXPECT_EQ(n.s->rect.y, n.where.y);
        EXPECT_EQ(n.s->rect.w, n.where.w);
        EXPECT_EQ(n.s->rect.h, n.where.h);
    }
}

TEST(SpriteSheet, FileHoldsEveryRectangleAndEachHasAPicture) {
    SDL_Surface* sheet = IMG_Load("data/p.bmp");
    ASSERT_NE(sheet, nullptr) << SDL_GetError();
    EXPECT_GE(sheet->w, 160);
    EXPECT_GE(sheet->h, 130);
    for (const named_sprite& n : sprite_table()) {
        SCOPED_TRACE(testing::Message() << n.name << " at " << n.s->rect.x << "," << n.s->rect.y);
        EXPECT_GE(n.s->rect.x, 0);
        EXPECT_GE(n.s->rect.y, 0);
        EXPECT_LE(n.s->rect.x + n.s->rect.w, sheet->w);
        EXPECT_LE(n.s->rect.y + n.s->rect.h, sheet->h);
        EXPECT_GT(opaque_pixel_count(*n.s), 0);
    }
    SDL_FreeSurface(sheet);
}

TEST(SpriteSheet, DigitsAndShipFramesCanBeToldApart) {
    auto same = [](const sprite& a, const sprite& b) {
        for (int j = 0; j < a.rect.h; ++j)
            for (int i = 0; i < a.rect.w; ++i)
                if (!(sheet_rgb(a.rect.x + i, a.rect.y + j) == sheet_rgb(b.rect.x + i, b.rect.y + j))) return false;
        return true;
    };
    for (int a = 0; a < 10; ++a)
        for (int b = a + 1; b < 10; ++b) EXPECT_FALSE(same(*digits[a], *digits[b])) << a << " and " << b;
    for (int a = 0; a < 12; ++a)
        for (int b = a + 1; b < 12; ++b)
            EXPECT_FALSE(same(*ship_frames[a / 3][a % 3], *ship_frames[b / 3][b % 3])) << a << " and " << b;
}

TEST(SpriteSheet, HalosAreRingsAroundATransparentMiddle) {
    for (const sprite* halo : {&ship_halo, &bullet_halo}) {
        const SDL_Rect& r = halo->rect;
        SCOPED_TRACE(testing::Message() << "halo at " << r.x << "," << r.y);
        EXPECT_TRUE(sheet_is_transparent(r.x + r.w / 2, r.y + r.h / 2));
        EXPECT_TRUE(sheet_is_transparent(r.x + r.w / 4, r.y + r.h / 2));
        EXPECT_TRUE(sheet_is_transparent(r.x, r.y));
        EXPECT_TRUE(sheet_is_transparent(r.x + r.w - 1, r.y + r.h - 1));
        // Ink on all four sides of the middle.
        int left = 0, right = 0, top = 0, bottom = 0;
        for (int i = 0; i < r.w / 2; ++i) {
            left += !sheet_is_transparent(r.x + i, r.y + r.h / 2);
            right += !sheet_is_transparent(r.x + r.w - 1 - i, r.y + r.h / 2);
            top += !sheet_is_transparent(r.x + r.w / 2, r.y + i);
            bottom += !sheet_is_transparent(r.x + r.w / 2, r.y + r.h - 1 - i);
        }
        EXPECT_GT(left, 0);
        EXPECT_GT(right, 0);
        EXPECT_GT(top, 0);
        EXPECT_GT(bottom, 0);
    }
}

TEST(SpriteSheet, CyanIsTransparentOnTheScreen) {
    open_screen();
    // The key is mapped through the screen's format; it must name the
    // sheet's own cyan as well.
    ASSERT_NE(sprite_sheet.surface_ptr, nullptr);
    EXPECT_EQ(SDL_MapRGB(sprite_sheet.surface_ptr->format, 0, 255, 255), SDL_MapRGB(window->format, 0, 255, 255));

    const Uint32 ground = 0x123456;
    clear_screen(ground);
    blit(bullet_halo, 100, 100);
    EXPECT_EQ(screen_pixel(110, 110), ground);
    EXPECT_EQ(screen_pixel(100, 100), ground);
    EXPECT_TRUE(shows(bullet_halo, 100, 100));
}

TEST(SpriteSheet, GeneratorReproducesTheCommittedSheet) {
    const fs::path out = fs::temp_directory_path() / ("velmora_sheet_check_" + std::to_string(::getpid()) + ".bmp");
    const std::string command = std::string("\"") + MAKE_SPRITE_SHEET + "\" \"" + out.string() + "\"";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;

    SDL_Surface* fresh = IMG_Load(out.string().c_str());
    ASSERT_NE(fresh, nullptr);
    ASSERT_GE(fresh->w, 160);
    ASSERT_GE(fresh->h, 130);
    int differing = 0;
    SDL_LockSurface(fresh);
    for (int y = 0; y < fresh->h; ++y)
        for (int x = 0; x < fresh->w; ++x) {
            const Uint8* p = static_cast<const Uint8*>(fresh->pixels) + y * fresh->pitch + x * fresh->format->BytesPerPixel;
            Uint32 v = 0;
            for (int b = 0; b < fresh->format->BytesPerPixel; ++b) v |= static_cast<Uint32>(p[b]) << (8 * b);
            Uint8 r, g, b;
            SDL_GetRGB(v, fresh->format, &r, &g, &b);
            differing += !(sheet_rgb(x, y) == rgb{r, g, b});
        }
    SDL_UnlockSurface(fresh);
    SDL_FreeSurface(fresh);
    fs::remove(out);
    EXPECT_EQ(differing, 0) << "data/p.bmp is out of date: regenerate it with make_sprite_sheet";
}

// ------------------------------------------------------------ finding the sheet

class SheetLocation : public testing::Test {
protected:
    void SetUp() override {
        root = fs::temp_directory_path() / ("velmora_sheet_" + std::to_string(::getpid()));
        fs::remove_all(root);
        fs::create_directories(root / "elsewhere");
        fs::create_directories(root / "tree" / "build");
        home = fs::current_path();
        fs::current_path(root / "elsewhere");
    }
    void TearDown() override {
        fs::current_path(home);
        fs::remove_all(root);
    }
    static void put_sheet(const fs::path& dir) {
        fs::create_directories(dir / "data");
        std::ofstream(dir / "data" / "p.bmp") << "BM";
    }
    std::string found() {
        return first_existing_file(sprite_sheet_locations((root / "tree" / "build").string()));
    }

    fs::path root, home;
};

TEST_F(SheetLocation, WorkingDirectoryComesFirst) {
    put_sheet(root / "elsewhere");
    put_sheet(root / "tree" / "build");
    EXPECT_EQ(found(), "data/p.bmp");
}

TEST_F(SheetLocation, ThenTheDataFolderBesideTheProgram) {
    put_sheet(root / "tree" / "build");
    put_sheet(root / "tree");
    EXPECT_EQ(fs::path(found()), root / "tree" / "build" / "data" / "p.bmp");
}

TEST_F(SheetLocation, ThenTheSourceTreeAroundABuildFolder) {
    put_sheet(root / "tree");
    EXPECT_EQ(fs::path(found()), root / "tree" / "data" / "p.bmp");
}

TEST_F(SheetLocation, AFolderNamedLikeTheSheetIsPassedOver) {
    fs::create_directories(root / "elsewhere" / "data" / "p.bmp");
    put_sheet(root / "tree");
    EXPECT_EQ(fs::path(found()), root / "tree" / "data" / "p.bmp");
}

TEST_F(SheetLocation, ThenAnInstalledTreeAroundTheProgram) {
    put_sheet(root / "tree" / "share" / "velmora");
    EXPECT_EQ(fs::path(found()), root / "tree" / "share" / "velmora" / "data" / "p.bmp");
}

TEST_F(SheetLocation, InstalledDataFolderComesLast) {
    const std::vector<std::string> places = sprite_sheet_locations((root / "tree" / "build").string());
    ASSERT_EQ(places.size(), 5u);
    EXPECT_EQ(places.front(), "data/p.bmp");
    EXPECT_EQ(fs::path(places.back()).filename(), "p.bmp");
    EXPECT_TRUE(fs::path(places.back()).is_absolute());
    EXPECT_NE(places.back().find("velmora/data/p.bmp"), std::string::npos);
}

TEST(SpriteSheet, GameLoadedTheSheetItFound) {
    // Tests run from the source root, where data/p.bmp is the first choice.
    EXPECT_EQ(sprite_sheet_file(), "data/p.bmp");
    ASSERT_NE(sprite_sheet.surface_ptr, nullptr);
    EXPECT_GE(sprite_sheet.surface_ptr->w, 160);
}

}  // namespace
