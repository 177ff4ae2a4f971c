// The song list over songs held in memory: moving, choosing, filtering as
// typed, sorting, drawing only what changed, and a slow source that never
// holds up a frame.
#include <SDL.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "results/replay_file.hpp"
#include "songlist/list_view.hpp"
#include "songlist/memory_source.hpp"
#include "support/song_rows.hpp"
#include "text/fonts.hpp"
#include "text/text_cache.hpp"

using songlist::action;
using songlist::sort_order;
namespace layout = songlist::layout;

namespace {

SDL_Event key(SDLKey sym, Uint16 unicode = 0, SDLMod mod = KMOD_NONE, Uint8 type = SDL_KEYDOWN) {
    SDL_Event e{};
    e.type = type;
    e.key.type = type;
    e.key.keysym.sym = sym;
    e.key.keysym.unicode = unicode;
    e.key.keysym.mod = mod;
    return e;
}

SDL_Event hat(Uint8 value) {
    SDL_Event e{};
    e.type = SDL_JOYHATMOTION;
    e.jhat.value = value;
    return e;
}

SDL_Event stick(Sint16 value) {
    SDL_Event e{};
    e.type = SDL_JOYAXISMOTION;
    e.jaxis.axis = 1;
    e.jaxis.value = value;
    return e;
}

SDL_Event button(Uint8 type, Uint8 which) {
    SDL_Event e{};
    e.type = type;
    if (type == SDL_MOUSEBUTTONDOWN) {
        e.button.button = which;
    } else {
        e.jbutton.button = which;
    }
    return e;
}

// A source that answers after a delay, and whose songs can change.
class slow_source : public songlist::song_source {
public:
    explicit slow_source(songlist::memory_source& inner) : inner_(inner) {}
    std::size_t count() override { return inner_.count(); }
    bool row(songlist::song_id id, songlist::song_row& out) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms.load()));
        if (!inner_.row(id, out)) return false;
        if (id == renamed) out.title = "Renamed";
        return true;
    }
    std::vector<songlist::song_id> search(const std::string& typed, sort_order order) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms.load()));
        return inner_.search(typed, order);
    }
    std::atomic<int> delay_ms{0};
    std::atomic<songlist::song_id> renamed{0};

private:
    songlist::memory_source& inner_;
};

class SongList : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(view->settle()); }

    action press(const SDL_Event& e) {
        const action a = view->handle(e, now);
        view->update(now);
        return a;
    }
    void type(const std::u16string& s) {
        for (char16_t c : s) press(key(SDLK_a, static_cast<Uint16>(c)));
        ASSERT_TRUE(view->settle());
    }
    // Songs whose title or artist holds `part`, ASCII case folded: what the
    // filter must leave, worked out apart from the source.
    std::size_t matching(std::string part) {
        auto lower = [](std::string s) {
            for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            return s;
        };
        part = lower(part);
        return static_cast<std::size_t>(std::count_if(rows.begin(), rows.end(), [&](const songlist::song_row& r) {
            return lower(r.title).find(part) != std::string::npos || lower(r.artist).find(part) != std::string::npos;
        }));
    }

    std::vector<songlist::song_row> rows = test_songs::make(1000);
    songlist::memory_source memory{rows};
    slow_source source{memory};
    text::font_set fonts;
    text::text_cache cache{fonts};
    std::unique_ptr<songlist::list_view> view = std::make_unique<songlist::list_view>(source, cache);
    std::uint32_t now = 1000;
};

}  // namespace

TEST_F(SongList, KeysThePadAndTheWheelMoveTheHighlight) {
    const std::ptrdiff_t page = view->visible_rows(), last = 999;
    ASSERT_EQ(page, 20);
    struct row {
        const char* what;
        std::vector<SDL_Event> events;
        std::ptrdiff_t position;
    };
    const row table[] = {
        {"down three", {key(SDLK_DOWN), key(SDLK_DOWN), key(SDLK_DOWN)}, 3},
        {"down and up", {key(SDLK_DOWN), key(SDLK_UP)}, 0},
        {"up at the top", {key(SDLK_UP)}, 0},
        {"page down", {key(SDLK_PAGEDOWN)}, page},
        {"page down and up", {key(SDLK_PAGEDOWN), key(SDLK_PAGEUP)}, 0},
        {"end", {key(SDLK_END)}, last},
        {"down past the end", {key(SDLK_END), key(SDLK_DOWN)}, last},
        {"end then home", {key(SDLK_END), key(SDLK_HOME)}, 0},
        {"wheel", {button(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_WHEELDOWN), button(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_WHEELDOWN),
                   button(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_WHEELUP)}, 3},
        {"d-pad down, centred, down", {hat(SDL_HAT_DOWN), hat(SDL_HAT_CENTERED), hat(SDL_HAT_DOWN)}, 2},
        {"d-pad right is a page", {hat(SDL_HAT_RIGHT)}, page},
        {"stick down held, then up", {stick(20000), stick(30000), stick(0), stick(-20000)}, 0},
    };
    for (const row& r : table) {
        press(key(SDLK_HOME));
        for (const SDL_Event& e : r.events) press(e);
        EXPECT_EQ(static_cast<std::ptrdiff_t>(view->position()), r.position) << r.what;
        EXPECT_GE(view->position(), view->first_visible()) << r.what << ": in sight";
        EXPECT_LT(view->position(), view->first_visible() + page) << r.what << ": in sight";
        press(hat(SDL_HAT_CENTERED));
        press(stick(0));
    }
    press(key(SDLK_END));
    EXPECT_EQ(view->first_visible(), static_cast<std::size_t>(last + 1 - page)) << "the last page is full";
}

// A click on a row highlights it; a second click on it soon after chooses
// it; a click too late, or on another row, or off the rows, does not.
TEST_F(SongList, AClickHighlightsARowAndADoubleClickChoosesIt) {
    auto click = [&](int x, int y) {
        SDL_Event e = button(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_LEFT);
        e.button.x = static_cast<Uint16>(x);
        e.button.y = static_cast<Uint16>(y);
        return press(e);
    };
    const int third = layout::rows_top + 2 * layout::row_height + 5;
    EXPECT_EQ(click(100, third).kind, action::none);
    EXPECT_EQ(view->position(), 2u);
    now += songlist::layout::double_click_ms - 10;
    const action chosen = click(120, third + 3);
    EXPECT_EQ(chosen.kind, action::chosen);
    EXPECT_EQ(chosen.id, *view->highlighted());

    EXPECT_EQ(click(100, third + layout::row_height).kind, action::none);
    now += songlist::layout::double_click_ms + 1;
    EXPECT_EQ(click(100, third + layout::row_height).kind, action::none) << "too slow for a double click";
    EXPECT_EQ(view->position(), 3u);
    EXPECT_EQ(click(100, third).kind, action::none) << "another row";
    EXPECT_EQ(click(100, layout::rows_top - 3).kind, action::none) << "the headings";
    EXPECT_EQ(view->position(), 2u);
}

TEST_F(SongList, AHeldKeyRepeatsAfterAPause) {
    view->handle(key(SDLK_DOWN), 0);
    for (std::uint32_t t : {100u, 299u}) view->update(t);
    EXPECT_EQ(view->position(), 1u);
    view->update(300);
    view->update(325);
    EXPECT_EQ(view->position(), 3u);
    view->handle(key(SDLK_DOWN, 0, KMOD_NONE, SDL_KEYUP), 330);
    view->update(400);
    EXPECT_EQ(view->position(), 3u) << "let go";

    // Backspace held takes characters back the same way.
    type(u"lumen");
    view->handle(key(SDLK_BACKSPACE, 8), 1000);
    view->update(1299);
    EXPECT_EQ(view->typed(), "lume");
    view->update(1300);
    view->update(1325);
    EXPECT_EQ(view->typed(), "lu");
    view->handle(key(SDLK_BACKSPACE, 0, KMOD_NONE, SDL_KEYUP), 1330);
    view->update(1400);
    EXPECT_EQ(view->typed(), "lu") << "let go";
}

TEST_F(SongList, ReturnChoosesAndEscapeClearsTheTypingThenLeaves) {
    press(key(SDLK_DOWN));
    const action chosen = press(key(SDLK_RETURN, '\r'));
    EXPECT_EQ(chosen.kind, action::chosen);
    EXPECT_EQ(chosen.id, view->highlighted().value());
    ASSERT_NE(view->highlighted_row(), nullptr);
    EXPECT_EQ(view->highlighted_row()->id, chosen.id);
    EXPECT_EQ(press(button(SDL_JOYBUTTONDOWN, 0)).kind, action::chosen) << "pad button 1";

    type(u"x");
    EXPECT_EQ(press(key(SDLK_ESCAPE, 27)).kind, action::none);
    EXPECT_EQ(view->typed(), "");
    EXPECT_EQ(press(key(SDLK_ESCAPE, 27)).kind, action::leave);
    type(u"x");
    EXPECT_EQ(press(button(SDL_JOYBUTTONDOWN, 1)).kind, action::none) << "pad button 2, like Escape";
    EXPECT_EQ(press(button(SDL_JOYBUTTONDOWN, 1)).kind, action::leave);
}

TEST_F(SongList, TypedCharactersFilterAsTheyAreTyped) {
    struct row {
        std::u16string typed;
        std::string part;  // what the typed characters spell
    };
    for (const row& r : {row{u"0004", "0004"}, row{u"NIGHT", "NIGHT"}, row{u"lumen", "lumen"},
                         row{u"\u591C\u306E", "\u591C\u306E"}, row{u"\u7A7A", "\u7A7A"}, row{u"zzq", "zzq"}}) {
        press(key(SDLK_ESCAPE, 27));
        type(r.typed);
        EXPECT_EQ(view->typed(), r.part);
        EXPECT_EQ(view->shown(), matching(r.part)) << r.part;
        EXPECT_EQ(view->total(), rows.size());
        EXPECT_EQ(view->position(), 0u) << "a new filter starts at its first song";
    }
    EXPECT_EQ(view->shown(), 0u);
    EXPECT_EQ(press(key(SDLK_RETURN, '\r')).kind, action::none) << "nothing to choose";
    press(key(SDLK_BACKSPACE, 8));
    ASSERT_TRUE(view->settle());
    EXPECT_EQ(view->typed(), "zz");
    press(key(SDLK_ESCAPE, 27));
    type(u"\u65E5");
    press(key(SDLK_BACKSPACE, 8));
    EXPECT_EQ(view->typed(), "") << "Backspace takes a whole character";
    type(u"\x01\x7F");
    EXPECT_EQ(view->typed(), "") << "control characters are not typed";
    view->type_text("\xE7\xA9\xBA\x01\xC0");
    ASSERT_TRUE(view->settle());
    EXPECT_EQ(view->typed(), "\u7A7A\uFFFD") << "pasted: controls left out, ill-formed bytes replaced";
    EXPECT_EQ(view->shown(), 0u);
}

TEST_F(SongList, TabStepsTheSortAndKeepsTheSong) {
    for (int i = 0; i < 5; ++i) press(key(SDLK_DOWN));
    const auto song = view->highlighted().value();
    press(key(SDLK_TAB, '\t'));
    ASSERT_TRUE(view->settle());
    EXPECT_EQ(view->order(), sort_order::artist);
    EXPECT_EQ(view->highlighted().value(), song);
    const auto by_artist = memory.search("", sort_order::artist);
    EXPECT_EQ(by_artist[view->position()], song);
    EXPECT_EQ(view->position() - view->first_visible(), 5u) << "on the same line of the screen";
    press(key(SDLK_TAB, '\t', KMOD_LSHIFT));
    EXPECT_EQ(view->order(), sort_order::title);
    for (int i = 0; i < songlist::sort_order_count; ++i) press(key(SDLK_TAB, '\t'));
    EXPECT_EQ(view->order(), sort_order::title) << "round to the first";
}

// The song a screen starts on is highlighted, in sight; an id the list does
// not hold puts the highlight on the first row.
TEST_F(SongList, AStartSongIsHighlightedInSight) {
    const auto by_title = memory.search("", sort_order::title);
    view->highlight_song(by_title[700]);
    ASSERT_TRUE(view->settle());
    EXPECT_EQ(view->highlighted().value(), by_title[700]);
    EXPECT_EQ(view->position(), 700u);
    EXPECT_LT(view->position() - view->first_visible(), static_cast<std::size_t>(view->visible_rows()));
    view->highlight_song(-1);
    ASSERT_TRUE(view->settle());
    EXPECT_EQ(view->position(), 0u);
}

TEST_F(SongList, F2JumpsToARandomSong) {
    std::vector<std::size_t> seen;
    for (int i = 0; i < 8; ++i) {
        press(key(SDLK_F2));
        seen.push_back(view->position());
    }
    EXPECT_LT(*std::max_element(seen.begin(), seen.end()), rows.size());
    std::sort(seen.begin(), seen.end());
    EXPECT_GT(std::unique(seen.begin(), seen.end()) - seen.begin(), 2);
}

// Each row shows the picture of its title, artist, length and best where
// the layout puts them, and the mark on a song never played.
TEST_F(SongList, RowsShowTheirSongAndOnlyWhatChangedIsDrawnAgain) {
    auto screen = SDL_CreateRGBSurface(SDL_SWSURFACE, 640, 480, 32, 0xFF0000, 0xFF00, 0xFF, 0);
    ASSERT_NE(screen, nullptr);
    ASSERT_EQ(view->draw(screen).size(), 1u) << "the first draw is the whole list";
    EXPECT_TRUE(view->draw(screen).empty()) << "nothing changed, nothing drawn";

    auto pixel = [&](int x, int y) { return static_cast<Uint32*>(screen->pixels)[y * screen->pitch / 4 + x]; };
    auto shows = [&](const std::string& s, int x, int y, std::uint32_t bg, std::uint32_t fg, int max_width) {
        SDL_Surface* p = cache.picture(screen->format, s, {layout::text_size, fg, bg}, max_width);
        if (!p) return false;
        for (int py = 0; py < p->h; ++py)
            for (int px = 0; px < p->w; ++px)
                if (pixel(x + px, y + py) != static_cast<Uint32*>(p->pixels)[py * p->pitch / 4 + px]) return false;
        return true;
    };
    const int text_top = (layout::row_height - fonts.line_height(layout::text_size)) / 2;
    for (int slot : {1, 2, 3}) {  // never played; played without a best; played with one
        const auto& r = rows[static_cast<std::size_t>(slot == 1 ? 1 : slot == 2 ? 3 : 6)];
        press(key(SDLK_HOME));
        while (view->highlighted_row()->title != r.title) press(key(SDLK_DOWN));
        press(key(SDLK_UP));  // the song is on the next line, not highlighted
        view->draw(screen);
        const int y = layout::rows_top + static_cast<int>(view->position() + 1 - view->first_visible()) * layout::row_height;
        const auto& c = view->column_layout();
        EXPECT_TRUE(shows(r.title, layout::title_x, y + text_top, layout::black, layout::white, c.title_width));
        EXPECT_TRUE(shows(r.artist, c.artist_x, y + text_top, layout::black, layout::grey, c.artist_width));
        const std::string best = r.best ? results::ratio_text(r.best->ratio) + "/" + std::to_string(r.best->hits) : "-";
        const int best_width = cache.width(best, layout::text_size);
        EXPECT_TRUE(shows(best, 640 - layout::best_right_margin - best_width, y + text_top, 0, layout::white, 0))
            << best;
        const int seconds = static_cast<int>(r.seconds);
        const std::string length = std::to_string(seconds / 60) + ":" + (seconds % 60 < 10 ? "0" : "") +
                                   std::to_string(seconds % 60);
        const int length_width = cache.width(length, layout::text_size);
        EXPECT_TRUE(shows(length, c.length_right - length_width, y + text_top, 0, layout::white, 0)) << length;
        EXPECT_LE(c.length_right + layout::column_gap, 640 - layout::best_right_margin - best_width);
        EXPECT_EQ(pixel(layout::mark_x + 1, y + layout::row_height / 2), r.played ? 0u : layout::never_played_mark)
            << r.title;
    }

    const auto moved = view->draw(screen);
    EXPECT_TRUE(moved.empty());
    press(key(SDLK_DOWN));
    EXPECT_EQ(view->draw(screen).size(), 2u) << "the rows losing and taking the highlight";
    const int y = layout::rows_top + static_cast<int>(view->position() - view->first_visible()) * layout::row_height;
    EXPECT_EQ(pixel(layout::title_x - 2, y + 1), layout::highlight);
    type(u"0");
    EXPECT_GE(view->draw(screen).size(), 3u) << "the typing, the rows and the count";
    SDL_FreeSurface(screen);
}

// A best wider than its heading widens its column and moves the length
// left: the two never touch, in a list of any width.
TEST_F(SongList, AWideBestLeavesAGapBeforeTheLength) {
    std::vector<songlist::song_row> wide = test_songs::make(1);
    wide[0].seconds = 61;
    wide[0].best = songlist::best_run{123.45f, 13910};
    songlist::memory_source one{wide};
    for (int width : {640, 400, 240}) {
        songlist::list_view list(one, cache, {0, 0, width, 456});
        ASSERT_TRUE(list.settle());
        auto screen = SDL_CreateRGBSurface(SDL_SWSURFACE, 640, 480, 32, 0xFF0000, 0xFF00, 0xFF, 0);
        list.draw(screen, true);
        const int y = layout::rows_top + (layout::row_height - fonts.line_height(layout::text_size)) / 2;
        const auto& c = list.column_layout();
        const int best_left = width - layout::best_right_margin - c.best_width;
        EXPECT_GE(c.best_width, std::min(cache.width("123.45/13910", layout::text_size), (width - 24) / 4)) << width;
        // Nothing drawn between the columns, on any line of the row's text.
        for (int x = c.length_right; x < best_left; ++x)
            for (int dy = 0; dy < fonts.line_height(layout::text_size); ++dy)
                EXPECT_EQ(static_cast<Uint32*>(screen->pixels)[(y + dy) * screen->pitch / 4 + x], layout::highlight)
                    << width << ": " << x << "," << y + dy;
        EXPECT_GE(c.length_right - c.length_width, c.artist_x + c.artist_width + layout::column_gap) << width;
        EXPECT_GE(c.artist_x, layout::title_x + c.title_width + layout::column_gap) << width;
        SDL_FreeSurface(screen);
    }
}

// No two texts of the list ever meet: every text drawn, headings, rows,
// header and footer, lies apart from every other, for long titles and
// artists in any script and a list as narrow as the library screen's.
TEST_F(SongList, NoTwoTextsOverlapWhateverTheTitles) {
    std::vector<songlist::song_row> long_rows = test_songs::make(30);
    for (std::size_t i = 0; i < long_rows.size(); ++i) {
        long_rows[i].title = std::string(i % 2 ? "\xe5\xa4\x9c\xe3\x81\xae\xe3\x83\x89\xe3\x83\xa9\xe3\x82\xa4\xe3\x83\x96" : "A very long title ") +
                             std::string(40, 'W');
        long_rows[i].artist = "An artist whose name goes on and on " + std::to_string(i);
        long_rows[i].seconds = 3600.0 * 3 + static_cast<double>(i);
        long_rows[i].best = songlist::best_run{513115.0f, 4000000000u};
    }
    songlist::memory_source many{long_rows};
    for (int width : {640, 408}) {
        songlist::list_view list(many, cache, {0, 0, width, 456});
        ASSERT_TRUE(list.settle());
        std::vector<SDL_Rect> drawn;
        cache.on_draw = [&](const SDL_Rect& r, std::string_view) { drawn.push_back(r); };
        auto screen = SDL_CreateRGBSurface(SDL_SWSURFACE, 640, 480, 32, 0xFF0000, 0xFF00, 0xFF, 0);
        list.draw(screen, true);
        cache.on_draw = nullptr;
        ASSERT_GT(drawn.size(), 60u);
        for (std::size_t a = 0; a < drawn.size(); ++a) {
            EXPECT_LE(drawn[a].x + drawn[a].w, width) << width << ": text " << a << " runs past the list";
            for (std::size_t b = a + 1; b < drawn.size(); ++b) {
                const SDL_Rect &p = drawn[a], &q = drawn[b];
                const bool apart = p.x + p.w <= q.x || q.x + q.w <= p.x || p.y + p.h <= q.y || q.y + q.h <= p.y;
                EXPECT_TRUE(apart) << width << ": texts " << a << " and " << b << " overlap at " << p.x << "," << p.y
                                   << " " << p.w << "x" << p.h << " and " << q.x << "," << q.y << " " << q.w << "x" << q.h;
            }
        }
        SDL_FreeSurface(screen);
    }
}

TEST_F(SongList, ASlowSourceNeverHoldsUpAFrame) {
    source.delay_ms = 150;
    auto screen = SDL_CreateRGBSurface(SDL_SWSURFACE, 640, 480, 32, 0xFF0000, 0xFF00, 0xFF, 0);
    const auto start = std::chrono::steady_clock::now();
    press(key(SDLK_a, 'n'));
    press(key(SDLK_PAGEDOWN));
    view->draw(screen);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::milliseconds(100)) << "two frames' waits of a few milliseconds, not the source's";
    EXPECT_EQ(view->typed(), "n");
    source.delay_ms = 0;
    ASSERT_TRUE(view->settle(5000));
    EXPECT_EQ(view->shown(), matching("n"));

    const auto song = view->highlighted().value();
    source.renamed = song;
    view->refresh();
    ASSERT_TRUE(view->settle());
    ASSERT_NE(view->highlighted_row(), nullptr);
    EXPECT_EQ(view->highlighted().value(), song);
    EXPECT_EQ(view->highlighted_row()->title, "Renamed") << "read again";
    SDL_FreeSurface(screen);
}
