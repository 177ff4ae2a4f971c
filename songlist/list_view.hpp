#pragma once
#include <SDL.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "songlist/source.hpp"
#include "text/text_cache.hpp"

namespace songlist {

// Where things are, in pixels from the list's area.
namespace layout {
constexpr int header_height = 24;  // what was typed, the sort
constexpr int headings_height = 20;
constexpr int rows_top = header_height + headings_height + 2;
constexpr int row_height = 20;
constexpr int footer_height = 22;  // the count, the keys
constexpr int text_size = 14;
constexpr int mark_x = 5, mark_size = 6;
constexpr int title_x = 16;
constexpr int best_right_margin = 8;
constexpr int column_gap = 8;  // between any two columns
// Of what the length and the best leave, the title's share in percent; the
// artist has the rest. The length and the best are as wide as their widest
// text shown so far (their headings at least).
constexpr int title_share = 60;
constexpr int double_click_ms = 400;

constexpr std::uint32_t black = 0x000000, white = 0xFFFFFF, grey = 0xA0A0A0, dim = 0x707070;
constexpr std::uint32_t highlight = 0x000080;  // the game's navy
constexpr std::uint32_t never_played_mark = 0xFFD040;
}  // namespace layout

// Where the list is drawn, in pixels of the target surface.
struct area {
    int x = 0, y = 0, w = 640, h = 480;
};

struct action {
    enum kind_type { none, chosen, leave } kind = none;
    song_id id = 0;  // the song chosen
};

// The scrolling song list: one row per song with its title, artist, length
// and best ("-" for none), a mark on songs never played, the chosen row
// highlighted. Its columns fit the area's width by the widths of their texts
// as drawn, each cut with an ellipsis, so no two ever meet. A click on a row
// highlights it, a second click on it within double_click_ms chooses it
// (the event's coordinates in the area's target's pixels). Keys: arrows,
// Page Up/Down, Home/End move; Return chooses;
// typed characters filter (Backspace takes one back, Escape clears them, and
// with nothing typed Escape asks to leave); Tab and Shift+Tab step the sort;
// F2 jumps to a random song. The joystick's d-pad or stick moves (left and
// right by a page), button 1 chooses, button 2 goes back like Escape; the
// mouse wheel scrolls. Typed characters come from SDL's key translation,
// which the list turns on while it exists. Joystick events must be enabled
// (SDL_JoystickEventState) by the screen that shows the list.
//
// Rows are asked of the source on a worker thread. A frame waits for its
// answers at most `budget_ms`, then draws what it has (a row not yet read
// shows as "…"), so a slow source never holds up scrolling or typing.
class list_view {
public:
    list_view(song_source& source, text::text_cache& text, area where = {}, std::uint32_t budget_ms = 5);
    ~list_view();
    list_view(const list_view&) = delete;
    list_view& operator=(const list_view&) = delete;

    action handle(const SDL_Event& e, std::uint32_t now_ms);
    // Text from elsewhere (pasted) taken as typed: any UTF-8, ill-formed
    // bytes as U+FFFD, control characters left out.
    void type_text(const std::string& utf8);
    // Once a frame before drawing: held keys repeat, answers are taken, rows
    // about to be seen are asked for.
    void update(std::uint32_t now_ms);
    // Draws what changed since the last draw, or everything; the rectangles
    // drawn (none when nothing changed), for SDL_UpdateRects.
    const std::vector<SDL_Rect>& draw(SDL_Surface* target, bool everything = false);
    // The source's songs changed (a run was stored, a scan found songs):
    // everything is read again, the highlight kept on its song.
    void refresh();
    // Waits for every question asked of the source, at most timeout_ms: for
    // the screen's first frame, and for tests. False on the timeout.
    bool settle(std::uint32_t timeout_ms = 2000);
    // Everything read again with the highlight on this song, when the list
    // holds it (a song the screen was started on).
    void highlight_song(song_id id);

    // Answers are still awaited for what the list shows: the last search, or
    // rows on the screen.
    bool busy() const { return waiting(); }
    const std::string& typed() const { return typed_; }
    sort_order order() const { return order_; }
    std::size_t shown() const { return ids_.size(); }
    std::size_t total() const { return total_; }
    std::size_t position() const { return position_; }
    std::size_t first_visible() const { return top_; }
    int visible_rows() const { return visible_rows_; }
    std::optional<song_id> highlighted() const;
    // The highlighted song's row, null while it is being read.
    const song_row* highlighted_row() const;

    // The columns as last drawn, in pixels from the area's left: the title
    // from layout::title_x, the length and the best right-aligned, the best
    // ending layout::best_right_margin before the area's right edge.
    struct columns {
        int title_width = 0, artist_x = 0, artist_width = 0;
        int length_width = 0, length_right = 0, best_width = 0;
    };
    const columns& column_layout() const { return columns_; }

private:
    struct search_job {
        std::uint64_t generation;
        std::string typed;
        sort_order order;
        std::optional<song_id> keep;  // stay on this song when it is in the new list
    };
    struct search_answer {
        std::uint64_t generation;
        std::vector<song_id> ids;
        std::size_t position;
        std::vector<song_row> rows;  // around the position, read at once
    };
    struct drawn_slot {
        song_id id = -1;
        bool highlighted = false;
        bool read = false;
        std::uint64_t version = 0;
    };

    void work();
    void ask_search(std::optional<song_id> keep);
    void ask_search(bool keep_song) { ask_search(keep_song ? highlighted() : std::nullopt); }
    void ask_rows();
    bool take_answers();
    bool waiting() const;
    bool type_character(char32_t c);
    void erase_last_typed();
    void move_to(std::ptrdiff_t index);
    void move_by(std::ptrdiff_t rows) { move_to(static_cast<std::ptrdiff_t>(position_) + rows); }
    void hold(int key, std::ptrdiff_t step, std::uint32_t now_ms);
    void let_go(int key);
    void draw_header(SDL_Surface* target);
    void draw_slot(SDL_Surface* target, int slot);
    void draw_footer(SDL_Surface* target);
    void trim_rows();
    // Widens the length and best columns to the rows on the screen; true
    // when they grew, and everything must be drawn again.
    bool fit_columns();
    action click(int x, int y, std::uint32_t now_ms);
    // The width of a length, a best or a heading as drawn, remembered.
    int text_width(const std::string& text);
    std::unordered_map<std::string, int> widths_;

    columns columns_;

    song_source& source_;
    text::text_cache& text_;
    area area_;
    std::uint32_t budget_ms_;
    int visible_rows_;
    int previous_unicode_;

    // Main thread.
    std::string typed_;
    sort_order order_ = sort_order::title;
    std::vector<song_id> ids_;
    std::size_t total_ = 0;
    std::size_t position_ = 0, top_ = 0;
    std::unordered_map<song_id, song_row> rows_;
    std::unordered_set<song_id> asked_;
    std::uint64_t generation_ = 0;  // of the search last asked
    std::uint64_t answered_generation_ = 0;
    std::uint64_t version_ = 0;  // bumped when rows are read again
    std::uint32_t last_click_ms_ = 0;
    std::ptrdiff_t last_click_index_ = -1;
    int held_key_ = 0;
    std::ptrdiff_t held_step_ = 0;
    std::uint32_t next_repeat_ = 0;
    std::mt19937 random_{std::random_device{}()};
    std::vector<drawn_slot> drawn_;
    std::string drawn_header_, drawn_footer_;
    bool drawn_once_ = false;
    std::vector<SDL_Rect> updated_;

    // Shared with the worker, under mutex_.
    std::mutex mutex_;
    std::condition_variable wake_, answered_;
    bool quit_ = false;
    std::optional<search_job> search_job_;
    struct row_job {
        std::uint64_t version;  // rows read before a refresh are not taken after it
        std::vector<song_id> ids;
    };
    std::deque<row_job> row_jobs_;
    bool working_ = false;
    std::optional<search_answer> search_answer_;
    // The songs in all, counted after a search is answered: the footer's
    // figure never holds up the rows a letter brings.
    bool count_wanted_ = false;
    std::optional<std::size_t> total_answer_;
    std::vector<song_row> row_answers_;
    std::vector<song_id> missing_answers_;  // asked for, not in the source
    std::uint64_t answers_version_ = 0;     // of the rows above
    std::thread worker_;
};

}  // namespace songlist
