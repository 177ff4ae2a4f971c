// The window, poll_events and draw_line on a real SDL screen under the dummy
// video driver. One window object may exist per process, so every test here
// shares the one this environment opens.
#include <SDL.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <stdexcept>
#include <utility>

#include "shell/video.hpp"

namespace {

class window_environment : public ::testing::Environment {
public:
    void SetUp() override { window = new vaz::xcppsdl<void>(0); }
    void TearDown() override {
        delete window;
        window = nullptr;
    }
};

const ::testing::Environment* const the_window = ::testing::AddGlobalTestEnvironment(new window_environment);

using point = std::pair<int, int>;
using point_set = std::set<point>;

void clear_screen() {
    SDL_FillRect(window->surface_ptr, nullptr, 0);
}

Uint32 pixel_at(int x, int y) {
    SDL_Surface* s = window->surface_ptr;
    return reinterpret_cast<const Uint32*>(static_cast<const Uint8*>(s->pixels) + y * s->pitch)[x];
}

point_set lit_pixels() {
    point_set lit;
    SDL_Surface* s = window->surface_ptr;
    SDL_LockSurface(s);
    for (int y = 0; y < s->h; ++y) {
        for (int x = 0; x < s->w; ++x) {
            if (pixel_at(x, y) != 0) lit.insert({x, y});
        }
    }
    SDL_UnlockSurface(s);
    return lit;
}

point_set line_pixels(int x0, int y0, int x1, int y1) {
    clear_screen();
    draw_line(line_colour{0xffffff}, x0, y0, x1, y1);
    return lit_pixels();
}

point_set row(int y, int from_x, int to_x) {
    point_set p;
    for (int x = from_x; x <= to_x; ++x) p.insert({x, y});
    return p;
}

point_set column(int x, int from_y, int to_y) {
    point_set p;
    for (int y = from_y; y <= to_y; ++y) p.insert({x, y});
    return p;
}

void drain_events() {
    SDL_Event e;
    while (SDL_PollEvent(&e)) {
    }
}

void push_key(Uint8 type, SDLKey key) {
    SDL_Event e{};
    e.type = type;
    e.key.type = type;
    e.key.state = type == SDL_KEYDOWN ? SDL_PRESSED : SDL_RELEASED;
    e.key.keysym.sym = key;
    ASSERT_EQ(SDL_PushEvent(&e), 0);
}

void push_quit() {
    SDL_Event e{};
    e.type = SDL_QUIT;
    ASSERT_EQ(SDL_PushEvent(&e), 0);
}

bool queue_is_empty() {
    SDL_PumpEvents();
    SDL_Event e;
    return SDL_PeepEvents(&e, 1, SDL_PEEKEVENT, SDL_ALLEVENTS) == 0;
}

}  // namespace

TEST(Window, OpensThe640x480x32ScreenWithItsCaption) {
    ASSERT_NE(window->surface_ptr, nullptr);
    EXPECT_EQ(window->surface_ptr->w, 640);
    EXPECT_EQ(window->surface_ptr->h, 480);
    EXPECT_EQ(window->surface_ptr->format->BitsPerPixel, 32);
    EXPECT_EQ(window->format, window->surface_ptr->format);
    EXPECT_EQ(window->width, 640);
    EXPECT_EQ(window->height, 480);
    EXPECT_EQ(window->depth, 32);
    EXPECT_EQ(window->event_handler, &vaz::default_event_handler);
    EXPECT_EQ(vaz::xcppsdl<void>::instance_count, 1);

    char* title = nullptr;
    SDL_WM_GetCaption(&title, nullptr);
    ASSERT_NE(title, nullptr);
    EXPECT_STREQ(title, "velmora v0.01 - test_void");
    EXPECT_EQ(window->caption, "velmora v0.01 - test_void");
}

Uint32 pixel_of(SDL_Surface* s, int x, int y) {
    return reinterpret_cast<const Uint32*>(static_cast<const Uint8*>(s->pixels) + y * s->pitch)[x];
}

TEST(Window, LargerWindowShowsEveryPixelAsABlockAndOneTimesDrawsOnTheScreenItself) {
    ASSERT_TRUE(window->set_mode(0, 2));
    SDL_Surface* screen = window->screen_ptr;
    ASSERT_EQ(screen->w, 1280);
    ASSERT_EQ(screen->h, 960);
    ASSERT_EQ(window->surface_ptr->w, 640);
    ASSERT_EQ(window->surface_ptr->h, 480);
    EXPECT_EQ(window->format, window->surface_ptr->format);
    EXPECT_EQ(window->format->Rmask, screen->format->Rmask);
    EXPECT_EQ(window->format->Bmask, screen->format->Bmask);
    clear_screen();
    draw_line(line_colour{0x123456}, 0, 0, 0, 0);
    draw_line(line_colour{0xabcdef}, 639, 479, 639, 479);
    draw_line(line_colour{0xffffff}, 10, 5, 10, 5);
    const Uint32 a = pixel_at(0, 0), b = pixel_at(639, 479), c = pixel_at(10, 5);
    window->flip();
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(pixel_of(screen, k % 2, k / 2), a);
        EXPECT_EQ(pixel_of(screen, 1278 + k % 2, 958 + k / 2), b);
        EXPECT_EQ(pixel_of(screen, 20 + k % 2, 10 + k / 2), c);
    }
    EXPECT_EQ(pixel_of(screen, 22, 10), 0u);
    EXPECT_EQ(pixel_of(screen, 20, 12), 0u);

    // Full screen keeps the game's own size whatever the scale.
    ASSERT_TRUE(window->set_mode(SDL_FULLSCREEN, 3));
    EXPECT_EQ(window->scale, 1);
    EXPECT_EQ(window->screen_ptr->w, 640);
    EXPECT_EQ(window->surface_ptr, window->screen_ptr);

    // Fitted to a desktop: the largest whole scale, centred between black borders.
    ASSERT_TRUE(window->set_mode(SDL_FULLSCREEN, 1, 1600, 1000));
    screen = window->screen_ptr;
    ASSERT_EQ(screen->w, 1600);
    ASSERT_EQ(screen->h, 1000);
    EXPECT_EQ(window->scale, 2);
    EXPECT_EQ(window->left, 160);
    EXPECT_EQ(window->top, 20);
    clear_screen();
    draw_line(line_colour{0x123456}, 0, 0, 0, 0);
    draw_line(line_colour{0xabcdef}, 639, 479, 639, 479);
    window->flip();
    EXPECT_EQ(pixel_of(screen, 160, 20), a);
    EXPECT_EQ(pixel_of(screen, 161, 21), a);
    EXPECT_EQ(pixel_of(screen, 1439, 979), b);
    EXPECT_EQ(pixel_of(screen, 159, 20), 0u) << "the left border";
    EXPECT_EQ(pixel_of(screen, 160, 19), 0u) << "the top border";
    EXPECT_EQ(pixel_of(screen, 1440, 979), 0u) << "the right border";
    EXPECT_EQ(pixel_of(screen, 1439, 980), 0u) << "the bottom border";
    ASSERT_TRUE(window->set_mode(0, 1));
    EXPECT_EQ(window->surface_ptr, window->screen_ptr);
    EXPECT_EQ(window->surface_ptr->w, 640);
    EXPECT_EQ(window->format, window->surface_ptr->format);
}

TEST(Window, ScaleUpThreeTimesRepeatsEachPixelOverAThreeByThreeBlock) {
    SDL_Surface* from = SDL_CreateRGBSurface(SDL_SWSURFACE, 2, 2, 32, 0xff0000, 0xff00, 0xff, 0);
    SDL_Surface* to = SDL_CreateRGBSurface(SDL_SWSURFACE, 7, 6, 32, 0xff0000, 0xff00, 0xff, 0);
    ASSERT_TRUE(from && to);
    SDL_FillRect(to, nullptr, 9);
    const Uint32 values[4] = {1, 2, 3, 4};
    for (int i = 0; i < 4; ++i) reinterpret_cast<Uint32*>(static_cast<Uint8*>(from->pixels) + (i / 2) * from->pitch)[i % 2] = values[i];
    vaz::scale_up(from, to, 3);
    for (int y = 0; y < 6; ++y) {
        for (int x = 0; x < 6; ++x) EXPECT_EQ(pixel_of(to, x, y), values[(y / 3) * 2 + x / 3]) << x << "," << y;
        EXPECT_EQ(pixel_of(to, 6, y), 9u) << "beyond the scaled picture";
    }
    SDL_FreeSurface(from);
    SDL_FreeSurface(to);
}

// Checked in a child process: the refused second object has already reset
// the video mode by the time it throws.
TEST(WindowDeathTest, ASecondWindowObjectIsRefused) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            try {
                vaz::xcppsdl<void> second(0);
            } catch (const std::logic_error&) {
                std::exit(vaz::xcppsdl<void>::instance_count == 1 ? 3 : 4);
            }
            std::exit(0);
        },
        ::testing::ExitedWithCode(3), "");
}

TEST(DrawLine, HorizontalLineDrawsBothEndsInEitherDirection) {
    EXPECT_EQ(line_pixels(10, 5, 20, 5), row(5, 10, 20));
    EXPECT_EQ(line_pixels(20, 5, 10, 5), row(5, 10, 20));
}

TEST(DrawLine, VerticalLineDrawsBothEndsInEitherDirection) {
    EXPECT_EQ(line_pixels(3, 100, 3, 90), column(3, 90, 100));
    EXPECT_EQ(line_pixels(3, 90, 3, 100), column(3, 90, 100));
}

TEST(DrawLine, FortyFiveDegreesStepsBothCoordinatesEveryPixel) {
    point_set diagonal, anti;
    for (int i = 0; i <= 9; ++i) {
        diagonal.insert({i, i});
        anti.insert({9 - i, i});
    }
    EXPECT_EQ(line_pixels(0, 0, 9, 9), diagonal);
    EXPECT_EQ(line_pixels(9, 9, 0, 0), diagonal);
    EXPECT_EQ(line_pixels(9, 0, 0, 9), anti);
}

TEST(DrawLine, ShallowAndSteepLinesFollowTheErrorTerm) {
    // Worked by hand from the x-major and y-major steps with err starting at -d.
    EXPECT_EQ(line_pixels(0, 0, 4, 2), (point_set{{0, 0}, {1, 1}, {2, 1}, {3, 2}, {4, 2}}));
    EXPECT_EQ(line_pixels(0, 0, 2, 4), (point_set{{0, 0}, {1, 1}, {1, 2}, {2, 3}, {2, 4}}));
    EXPECT_EQ(line_pixels(100, 50, 90, 48),
              (point_set{{100, 50}, {99, 50}, {98, 50}, {97, 49}, {96, 49}, {95, 49}, {94, 49}, {93, 49},
                         {92, 48}, {91, 48}, {90, 48}}));
}

TEST(DrawLine, APointToItselfIsOnePixel) {
    EXPECT_EQ(line_pixels(7, 7, 7, 7), (point_set{{7, 7}}));
    EXPECT_EQ(line_pixels(639, 479, 639, 479), (point_set{{639, 479}}));
}

TEST(DrawLine, OffScreenPartsAreSkippedWithoutWrapping) {
    EXPECT_EQ(line_pixels(-5, 10, 5, 10), row(10, 0, 5));
    EXPECT_EQ(line_pixels(630, 0, 650, 0), row(0, 630, 639));
    EXPECT_EQ(line_pixels(20, 470, 20, 490), column(20, 470, 479));
    EXPECT_EQ(line_pixels(-3, -3, 3, 3), (point_set{{0, 0}, {1, 1}, {2, 2}, {3, 3}}));
    EXPECT_TRUE(line_pixels(-10, -10, -1, -1).empty());
    EXPECT_TRUE(line_pixels(640, 0, 700, 479).empty());
    EXPECT_TRUE(line_pixels(-100000, 300, -99000, 300).empty());
}

TEST(DrawLine, ColourIsMappedIntoTheScreensRgbLayout) {
    clear_screen();
    draw_line(line_colour{0x123456}, 50, 60, 50, 60);
    SDL_LockSurface(window->surface_ptr);
    const Uint32 got = pixel_at(50, 60);
    SDL_UnlockSurface(window->surface_ptr);
    Uint8 r, g, b;
    SDL_GetRGB(got, window->surface_ptr->format, &r, &g, &b);
    EXPECT_EQ(r, 0x12);
    EXPECT_EQ(g, 0x34);
    EXPECT_EQ(b, 0x56);
}

TEST(PollEvents, NoPendingEventKeepsRunning) {
    drain_events();
    EXPECT_TRUE(poll_events());
}

TEST(PollEvents, EscapeDownStopsAndTheQueueIsDrained) {
    drain_events();
    push_key(SDL_KEYDOWN, SDLK_SPACE);
    push_key(SDL_KEYDOWN, SDLK_ESCAPE);
    push_key(SDL_KEYDOWN, SDLK_a);
    push_key(SDL_KEYUP, SDLK_a);
    EXPECT_FALSE(poll_events());
    EXPECT_TRUE(queue_is_empty());
    EXPECT_TRUE(poll_events()) << "the stop belongs to the frame that drained it";
}

TEST(PollEvents, EscapeUpAndOtherKeysKeepRunning) {
    drain_events();
    push_key(SDL_KEYDOWN, SDLK_SPACE);
    push_key(SDL_KEYUP, SDLK_ESCAPE);
    push_key(SDL_KEYDOWN, SDLK_RETURN);
    EXPECT_TRUE(poll_events());
    EXPECT_TRUE(queue_is_empty());
}

TEST(PollEvents, QuitRequestStops) {
    drain_events();
    push_quit();
    push_key(SDL_KEYDOWN, SDLK_z);
    EXPECT_FALSE(poll_events());
    EXPECT_TRUE(queue_is_empty());
}

TEST(PollEvents, AStageTellsLeavingByEscapeFromQuittingByTheWindow) {
    drain_events();
    EXPECT_EQ(poll_stage_events(), events_ask::carry_on);
    push_key(SDL_KEYUP, SDLK_ESCAPE);
    push_key(SDL_KEYDOWN, SDLK_SPACE);
    EXPECT_EQ(poll_stage_events(), events_ask::carry_on);
    push_key(SDL_KEYDOWN, SDLK_ESCAPE);
    push_key(SDL_KEYDOWN, SDLK_a);
    EXPECT_EQ(poll_stage_events(), events_ask::leave);
    EXPECT_TRUE(queue_is_empty());
    push_key(SDL_KEYDOWN, SDLK_ESCAPE);
    push_quit();
    EXPECT_EQ(poll_stage_events(), events_ask::quit);
}
