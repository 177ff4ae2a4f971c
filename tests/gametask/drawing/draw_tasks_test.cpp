// Each test sets up update tasks, runs one whole draw walk into the real
// screen surface and reads the pixels back.
#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "draw_calls.hpp"
#include "game/entry.hpp"
#include "gametask/schedulers.hpp"
#include "screen.hpp"
#include "shell/sprites.hpp"
#include "shell/video.hpp"
#include "support/task_reset.hpp"

namespace {

using namespace drawing_test;
using vaz::tasksystem::object_of;
namespace gt = gametask;

constexpr Uint32 black = 0;
constexpr Uint32 white = 0xffffff;
constexpr Uint32 dark_red = 0x800000;
constexpr Uint32 dark_blue = 0x000080;
constexpr Uint32 grey = 0x7f7f7f;

class Drawing : public testing::Test {
protected:
    static void SetUpTestSuite() { open_screen(); }

    void SetUp() override {
        test_support::kill_all(update_tasks);
        // The fill colours are raw pixel values, meant for a 0x00RRGGBB screen.
        ASSERT_EQ(screen_rgb(128, 0, 0), dark_red);
    }
    void TearDown() override { test_support::kill_all(update_tasks); }

    template <class T>
    T& spawn() {
        vaz::tasksystem::node* n = update_tasks.spawn<T>();
        if (!n) throw std::runtime_error("pool full");
        return object_of<T>(n);
    }

    template <class T>
    void kill_all() { test_support::kill_all_of<T>(update_tasks); }

    gt::bullet_r& bullet_r_at(float x, float y, std::int32_t state) {
        gt::bullet_r& b = spawn<gt::bullet_r>();
        b.x = x;
        b.y = y;
        b.vx = b.vy = 0.0f;
        b.state = state;
        return b;
    }

    gt::bullet_b& bullet_b_at(float x, float y) {
        gt::bullet_b& b = spawn<gt::bullet_b>();
        b.x = x;
        b.y = y;
        b.vx = b.vy = 0.0f;
        return b;
    }

    gt::bullet_echo& echo_at(std::int32_t x, std::int32_t y, std::int32_t countdown) {
        gt::bullet_echo& e = spawn<gt::bullet_echo>();
        e.x = x;
        e.y = y;
        e.countdown = countdown;
        return e;
    }

    // One frame as the game draws it, on main's black clear.
    void draw_frame() {
        clear_screen(black);
        draw_tasks.run();
    }
};

// ------------------------------------------------------------ counters

struct counters {
    std::string hits, whole, hundredths;
};

counters read_counters() { return {digits_shown(0, 30, 10), digits_shown(0, 50, 10), digits_shown(55, 50, 2)}; }

TEST_F(Drawing, CountersShowHitsAndScorePerFifteenHits) {
    struct row {
        std::int32_t hits, score;
        const char *hits_text, *whole_text, *hundredths_text;
    };
    const row rows[] = {
        {0, 1234, "0000000000", "0000001234", "00"},
        {2, 45, "0000000002", "0000000001", "50"},
        {3, 100, "0000000003", "0000000002", "22"},
        // 21 / 15 = 1.4 is 1.39999998 as a float, so the hundredths read 39.
        {1, 21, "0000000001", "0000000001", "39"},
        // Before the first hit the score itself shows, rounded to a float.
        {0, 123456789, "0000000000", "0123456792", "00"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << "hits " << r.hits << ", score " << r.score);
        kill_all<gt::game>();
        gt::game& g = spawn<gt::game>();
        g.hits = r.hits;
        g.score = r.score;
        draw_frame();

        EXPECT_TRUE(shows_exactly(first_counter_label, 0, 20));
        EXPECT_TRUE(shows_exactly(second_counter_label, 0, 40));
        EXPECT_TRUE(shows_exactly(point_glyph, 50, 50));
        const counters c = read_counters();
        EXPECT_EQ(c.hits, r.hits_text);
        EXPECT_EQ(c.whole, r.whole_text);
        EXPECT_EQ(c.hundredths, r.hundredths_text);
    }
}

TEST_F(Drawing, HitsAreShownAsUnsigned) {
    gt::game& g = spawn<gt::game>();
    g.hits = -1;
    g.score = 0;
    draw_frame();
    EXPECT_EQ(read_counters().hits, "4294967295");
}

TEST_F(Drawing, TitleReadyShowsZeroedCountersFaceTitleAndLabel) {
    spawn<gt::titleready>();
    draw_frame();
    EXPECT_TRUE(shows_exactly(first_counter_label, 0, 20));
    EXPECT_TRUE(shows_exactly(second_counter_label, 0, 40));
    EXPECT_TRUE(shows_exactly(point_glyph, 50, 50));
    const counters c = read_counters();
    EXPECT_EQ(c.hits, "0000000000");
    EXPECT_EQ(c.whole, "0000000000");
    EXPECT_EQ(c.hundredths, "00");
    EXPECT_TRUE(shows_exactly(smile_image, 10, 70));
    EXPECT_TRUE(shows_exactly(title_image, 295, 220));
    EXPECT_TRUE(shows_exactly(title_label, 305, 270));
}

TEST_F(Drawing, TitleDemoShowsTheTitleAndAnEmptyGaugeButNoCounters) {
    spawn<gt::titledemo>();
    draw_frame();
    EXPECT_TRUE(shows_exactly(title_image, 295, 220));
    EXPECT_EQ(matching_pixels(first_counter_label, 0, 20), 0);
    EXPECT_EQ(matching_pixels(*digits[0], 0, 30), 0);
    EXPECT_EQ(screen_pixel(600, 20), white);
    EXPECT_EQ(screen_pixel(619, 459), white);
    EXPECT_EQ(screen_pixel(610, 240), black);
    EXPECT_EQ(screen_pixel(580, 450), black);
}

TEST_F(Drawing, ScreensAndFacesHaveTheirFixedPlaces) {
    spawn<gt::outi>();
    spawn<gt::gameover>();
    spawn<gt::smile>();
    draw_frame();
    EXPECT_TRUE(shows_exactly(outi_image, 2, 90));
    EXPECT_TRUE(shows_exactly(gameover_image, 285, 230));
    EXPECT_TRUE(shows_exactly(smile_image, 10, 70));

    kill_all<gt::smile>();
    spawn<gt::bombed>();
    draw_frame();
    EXPECT_TRUE(shows_exactly(bombed_image, 10, 70));
}

// ------------------------------------------------------------ graze gauge

// White rows inside the gauge frame (x 601..618, y 21..458), counted up from
// the bottom, after checking each row is uniform. A bar of height h shows
// h - 1 of them: its lowest row is the frame's own.
int white_rows_inside_gauge() {
    int h = 0;
    for (int y = 458; y >= 21; --y) {
        const Uint32 row = screen_pixel(601, y);
        for (int x = 602; x <= 618; ++x) EXPECT_EQ(screen_pixel(x, y), row) << "gauge row " << y;
        if (row != white) break;
        ++h;
    }
    return h;
}

// Stock squares stacked up from (570, 440), 30 pixels apart.
int stock_squares() {
    int n = 0;
    for (int i = 0; i < 16; ++i) {
        const int y = 440 - 30 * i;
        if (y < 0) break;
        if (screen_pixel(575, y + 5) != white) break;
        EXPECT_EQ(screen_pixel(570, y), white);
        EXPECT_EQ(screen_pixel(589, y + 19), white);
        EXPECT_EQ(screen_pixel(569, y + 5), black);
        EXPECT_EQ(screen_pixel(590, y + 5), black);
        ++n;
    }
    return n;
}

TEST_F(Drawing, GaugeBarAndStockSquares) {
    struct row {
        std::int32_t gauge;
        int rows_inside, squares;
    };
    const row rows[] = {
        {0, 0, 0},
        {2199, 438, 0},  // one short of a stock: a bar of 439 fills the frame
        {2200, 0, 1},    // a whole stock: a square and no bar
        {5000, 119, 2},  // a bar of 120
        {35199, 438, 15},
        {35200, 438, 15},  // full: the whole frame, yet 15 squares
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << "gauge " << r.gauge);
        kill_all<gt::myship>();
        spawn<gt::myship>().gauge = r.gauge;
        draw_frame();
        EXPECT_EQ(screen_pixel(600, 20), white);
        EXPECT_EQ(screen_pixel(619, 459), white);
        EXPECT_EQ(white_rows_inside_gauge(), r.rows_inside);
        EXPECT_EQ(stock_squares(), r.squares);
    }
    // Full: no sixteenth square above the fifteenth.
    EXPECT_EQ(screen_pixel(575, 5), black);
    EXPECT_EQ(screen_pixel(575, 20), white);
}

// ------------------------------------------------------------ bullets and halos

TEST_F(Drawing, HaloOnlyForOddChainStates) {
    struct row {
        std::int32_t state;
        bool halo;
    };
    const row rows[] = {{0, false}, {1, true}, {2, false}, {9, true}, {-79, true}, {-80, false}, {-1, true}};
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << "state " << r.state);
        kill_all<gt::bullet_r>();
        bullet_r_at(200.0f, 200.0f, r.state);
        draw_frame();
        if (r.halo) {
            EXPECT_TRUE(shows(bullet_halo, 295, 210));
        } else {
            EXPECT_EQ(matching_pixels(bullet_halo, 295, 210), 0);
        }
        EXPECT_EQ(screen_pixel(304, 219), dark_red);
        EXPECT_EQ(screen_pixel(306, 221), dark_red);
        EXPECT_EQ(screen_pixel(303, 220), black);
        EXPECT_EQ(screen_pixel(307, 220), black);
    }
}

TEST_F(Drawing, NoHaloCoversAnyBullet) {
    // Find a ring pixel of the halo that the bullet at (200,200) puts on screen.
    int hx = -1, hy = -1;
    for (int j = 0; j < bullet_halo.rect.h && hx < 0; ++j)
        for (int i = 0; i < bullet_halo.rect.w && hx < 0; ++i)
            if (!sheet_is_transparent(bullet_halo.rect.x + i, bullet_halo.rect.y + j)) hx = i, hy = j;
    ASSERT_GE(hx, 0);
    const int sx = 295 + hx, sy = 210 + hy;

    // The halo's bullet is the older one, so it is drawn after the other.
    bullet_r_at(200.0f, 200.0f, 1);
    bullet_r_at(static_cast<float>(sx - 105), static_cast<float>(sy - 20), 0);
    draw_frame();
    EXPECT_EQ(screen_pixel(sx, sy), dark_red);
}

TEST_F(Drawing, PositionsTruncateTowardZero) {
    bullet_b_at(-0.5f, -0.9f);
    draw_frame();
    // Placed as for (0, 0): 3x3 from (104, 19).
    EXPECT_EQ(screen_pixel(104, 19), dark_blue);
    EXPECT_EQ(screen_pixel(106, 21), dark_blue);
    EXPECT_EQ(screen_pixel(103, 19), black);
    EXPECT_EQ(screen_pixel(104, 18), black);
    EXPECT_EQ(screen_pixel(107, 21), black);
    EXPECT_EQ(screen_pixel(106, 22), black);

    kill_all<gt::bullet_b>();
    gt::blood& b = spawn<gt::blood>();
    b.x = -0.7f;
    b.y = 10.9f;
    draw_frame();
    EXPECT_TRUE(shows_exactly(blood_image, 103, 28));
}

TEST_F(Drawing, SparksAreGreySquares) {
    gt::spark& s = spawn<gt::spark>();
    s.x = 10.0f;
    s.y = 30.0f;
    draw_frame();
    EXPECT_EQ(screen_pixel(114, 49), grey);
    EXPECT_EQ(screen_pixel(115, 50), grey);
    EXPECT_EQ(screen_pixel(113, 49), black);
    EXPECT_EQ(screen_pixel(116, 50), black);
    EXPECT_EQ(screen_pixel(114, 51), black);
}

TEST_F(Drawing, FarAwayOrBrokenPositionsDrawNothing) {
    // 65636 would wrap round in a 16-bit screen rectangle to x = 204.
    bullet_b_at(65636.0f, 100.0f);
    bullet_b_at(std::numeric_limits<float>::quiet_NaN(), 100.0f);
    bullet_b_at(std::numeric_limits<float>::infinity(), 100.0f);
    draw_frame();
    for (int y = 0; y < 480; ++y)
        for (int x = 0; x < 560; ++x) ASSERT_EQ(screen_pixel(x, y), black) << x << "," << y;
}

// ------------------------------------------------------------ echo squares

bool red_at(int x, int y) { return screen_pixel(x, y) == dark_red; }

TEST_F(Drawing, EchoWithCountdownZeroIsOnePoint) {
    echo_at(100, 100, 0);
    draw_frame();
    EXPECT_TRUE(red_at(205, 120));
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) {
            if (dx == 0 && dy == 0) continue;
            EXPECT_EQ(screen_pixel(205 + dx, 120 + dy), black) << dx << "," << dy;
        }
}

TEST_F(Drawing, FreshEchoIsADiamondOfHalfDiagonalTwenty) {
    echo_at(100, 100, 40);
    draw_frame();
    EXPECT_TRUE(red_at(225, 120));
    EXPECT_TRUE(red_at(205, 140));
    EXPECT_TRUE(red_at(185, 120));
    EXPECT_TRUE(red_at(205, 100));
    EXPECT_TRUE(red_at(215, 130));
    EXPECT_FALSE(red_at(205, 120));
    EXPECT_FALSE(red_at(226, 120));
    EXPECT_FALSE(red_at(205, 99));
}

TEST_F(Drawing, EchoTurnedAnEighthIsAnUprightSquare) {
    // Countdown 35: turned by 2pi*5/40 = pi/4, half-diagonal 17, so corners at
    // +-12.02, truncated toward zero to +-12 on both sides.
    echo_at(100, 100, 35);
    draw_frame();
    for (int t = -12; t <= 12; ++t) {
        EXPECT_TRUE(red_at(205 + t, 132)) << t;
        EXPECT_TRUE(red_at(205 + t, 108)) << t;
        EXPECT_TRUE(red_at(217, 120 + t)) << t;
        EXPECT_TRUE(red_at(193, 120 + t)) << t;
    }
    EXPECT_FALSE(red_at(192, 120));
    EXPECT_FALSE(red_at(218, 120));
    EXPECT_FALSE(red_at(205, 107));
    EXPECT_FALSE(red_at(205, 133));
    EXPECT_FALSE(red_at(205, 120));
}

TEST_F(Drawing, EchoNearTheEdgeIsClippedNotWrapped) {
    echo_at(-105, 200, 40);  // centred on screen column 0
    draw_frame();
    EXPECT_TRUE(red_at(20, 220));
    EXPECT_TRUE(red_at(0, 200));
    EXPECT_FALSE(red_at(639, 220));
}

// ------------------------------------------------------------ the ship

TEST_F(Drawing, ShipFrameFollowsFacingAndWalk) {
    struct step {
        std::int32_t walk;
        int column;
    };
    const step steps[] = {{0, 0}, {1, 1}, {4, 1}, {-3, 1}, {5, 2}, {8, 2}};
    for (int facing = 0; facing < 4; ++facing)
        for (const step& s : steps) {
            SCOPED_TRACE(testing::Message() << "facing " << facing << ", walk " << s.walk);
            kill_all<gt::myship>();
            gt::myship& m = spawn<gt::myship>();
            m.facing = facing;
            m.walk = s.walk;
            draw_frame();
            EXPECT_TRUE(shows_exactly(*ship_frames[facing][s.column], 320, 233));
        }
}

TEST_F(Drawing, ShipHaloBlinksWithTheBombTimer) {
    gt::myship& m = spawn<gt::myship>();
    m.x = 100.0f;
    m.y = 150.0f;
    m.bomb = 1;
    draw_frame();
    EXPECT_TRUE(shows(ship_halo, 190, 155));
    m.bomb = 2;
    draw_frame();
    EXPECT_EQ(matching_pixels(ship_halo, 190, 155), 0);
    EXPECT_TRUE(shows_exactly(*ship_frames[3][0], 200, 163));
}

// ------------------------------------------------------------ stacking

TEST_F(Drawing, LaterDrawingTypesCoverEarlierOnesWhateverTheSpawnOrder) {
    bullet_r_at(50.0f, 50.0f, 0);
    bullet_b_at(50.0f, 50.0f);
    gt::spark& s = spawn<gt::spark>();
    s.x = 50.0f;
    s.y = 50.0f;
    draw_frame();
    EXPECT_EQ(screen_pixel(155, 70), dark_red);
    kill_all<gt::bullet_r>();
    draw_frame();
    EXPECT_EQ(screen_pixel(155, 70), dark_blue);
    kill_all<gt::bullet_b>();
    draw_frame();
    EXPECT_EQ(screen_pixel(155, 70), grey);
}

TEST_F(Drawing, HurtFaceCoversSmileAndBloodCoversShip) {
    spawn<gt::bombed>();
    spawn<gt::smile>();
    gt::blood& b = spawn<gt::blood>();
    b.x = 220.0f;
    b.y = 220.0f;
    spawn<gt::myship>();
    draw_frame();
    EXPECT_TRUE(shows(bombed_image, 10, 70));
    EXPECT_TRUE(shows(blood_image, 323, 238));
    EXPECT_GT(matching_pixels(*ship_frames[3][0], 320, 233), 0);
}

// Within one type the newest object is drawn first, so older ones cover it.
TEST_F(Drawing, WithinOneTypeOlderObjectsCoverNewerOnes) {
    for (float x : {10.0f, 20.0f}) {  // the older at 10
        gt::blood& b = spawn<gt::blood>();
        b.x = x;
        b.y = 100.0f;
        gt::spark& s = spawn<gt::spark>();
        s.x = x;
        s.y = 200.0f;
        bullet_b_at(x, 300.0f);
        echo_at(static_cast<std::int32_t>(x), 400, 0);
    }
    draw_calls().clear();
    record_draw_calls(true);
    draw_frame();
    record_draw_calls(false);
    // The screen x of each drawing of one look, in drawing order.
    auto xs = [](char kind, Uint32 colour, const sprite* image) {
        std::vector<int> v;
        for (const draw_call& c : draw_calls())
            if (c.kind == kind && c.colour == colour && c.image == image) v.push_back(c.x);
        return v;
    };
    EXPECT_EQ(xs('b', 0, &blood_image), (std::vector<int>{123, 113}));
    EXPECT_EQ(xs('f', grey, nullptr), (std::vector<int>{124, 114}));
    EXPECT_EQ(xs('f', dark_blue, nullptr), (std::vector<int>{124, 114}));
    EXPECT_EQ(xs('l', dark_red, nullptr), (std::vector<int>{125, 125, 125, 125, 115, 115, 115, 115}));
}

// A whole frame draws the border first, so what the tasks draw lies over it:
// the ship on the left limit covers the border with its middle column.
TEST_F(Drawing, TasksDrawOverThePlayfieldBorder) {
    const sprite& ship = *ship_frames[3][0];
    int coloured = 0;
    for (int j = 0; j < ship.rect.h; ++j) {
        const int sx = ship.rect.x + 5, sy = ship.rect.y + j;
        if (!sheet_is_transparent(sx, sy) && !(sheet_rgb(sx, sy) == rgb{255, 255, 255})) ++coloured;
    }
    ASSERT_GT(coloured, 0) << "the ship has no coloured pixel on the border's column";
    spawn<gt::myship>().x = 0.0f;
    play_frame();
    EXPECT_TRUE(shows(ship, 100, 233));
    EXPECT_EQ(screen_pixel(105, 100), white);
    EXPECT_EQ(screen_pixel(545, 460), white);
}

TEST_F(Drawing, ResultImageCoversTheBullets) {
    spawn<gt::gameover>();
    for (float x = 180.0f; x < 250.0f; x += 3.0f)
        for (float y = 210.0f; y < 230.0f; y += 3.0f) bullet_r_at(x, y, 0);
    draw_frame();
    EXPECT_TRUE(shows(gameover_image, 285, 230));
}

}  // namespace

// ------------------------------------------------------------ fills

// The game's fill writes pixels itself; it must leave exactly what
// SDL_FillRect leaves, also where a rectangle sticks out of the screen.
TEST_F(Drawing, FillMatchesTheLibraryFillAtEveryEdge) {
    SDL_Surface* screen = window->surface_ptr;
    const struct {
        int x, y, w, h;
    } cases[] = {{10, 10, 3, 3}, {-2, 5, 3, 3}, {638, 477, 3, 3}, {-5, -5, 3, 3},
                 {639, 479, 1, 1}, {600, 20, 20, 440}, {-30, 100, 700, 2}, {100, -40, 2, 600}};
    std::vector<Uint32> ours(640 * 480), library(640 * 480);
    auto snapshot = [&](std::vector<Uint32>& into) {
        for (int y = 0; y < 480; ++y)
            for (int x = 0; x < 640; ++x) into[static_cast<std::size_t>(y * 640 + x)] = screen_pixel(x, y);
    };
    for (const auto& c : cases) {
        clear_screen(black);
        fill_rect(c.x, c.y, c.w, c.h, fill_colour{dark_red});
        snapshot(ours);
        clear_screen(black);
        SDL_Rect r{static_cast<Sint16>(c.x), static_cast<Sint16>(c.y), static_cast<Uint16>(c.w), static_cast<Uint16>(c.h)};
        SDL_FillRect(screen, &r, dark_red);
        snapshot(library);
        EXPECT_EQ(ours, library) << c.x << "," << c.y << " " << c.w << "x" << c.h;
    }
}
