#include "songlist/list_view.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "results/replay_file.hpp"
#include "text/utf8.hpp"
#include "vaz/clock_text.hpp"

namespace songlist {

namespace {

using steady = std::chrono::steady_clock;

using namespace layout;

// Held keys move again after this long, then at this rate.
constexpr std::uint32_t repeat_delay_ms = 300;
constexpr std::uint32_t repeat_interval_ms = 25;
constexpr int wheel_rows = 3;
constexpr int stick_dead_zone = 8192;  // a quarter of the stick's travel, as in the game
constexpr std::size_t typed_limit = 200;  // bytes
constexpr std::size_t kept_rows = 4096;   // rows kept read before those far away are let go

// Keys of the joystick, held like keys of the keyboard.
constexpr int pad_hat = SDLK_LAST + 1;
constexpr int pad_stick = SDLK_LAST + 2;

// Unknown lengths show as "-".
std::string clock_text(double seconds) { return seconds > 0 ? vaz::clock_text(seconds) : "-"; }

std::string best_text(const std::optional<best_run>& best) {
    if (!best) return "-";
    return results::ratio_text(best->ratio) + "/" + std::to_string(best->hits);
}

Uint32 mapped(const SDL_Surface* target, std::uint32_t rgb) {
    return SDL_MapRGB(target->format, static_cast<Uint8>(rgb >> 16), static_cast<Uint8>(rgb >> 8),
                      static_cast<Uint8>(rgb));
}

void fill(SDL_Surface* target, const SDL_Rect& r, std::uint32_t rgb) {
    SDL_Rect copy = r;
    SDL_FillRect(target, &copy, mapped(target, rgb));
}

SDL_Rect rect(int x, int y, int w, int h) {
    return {static_cast<Sint16>(x), static_cast<Sint16>(y), static_cast<Uint16>(std::max(0, w)),
            static_cast<Uint16>(std::max(0, h))};
}

void drop_last_character(std::string& s) {
    while (!s.empty() && (static_cast<unsigned char>(s.back()) & 0xC0) == 0x80) s.pop_back();
    if (!s.empty()) s.pop_back();
}

}  // namespace

list_view::list_view(song_source& source, text::text_cache& text, area where, std::uint32_t budget_ms)
    : source_(source),
      text_(text),
      area_(where),
      budget_ms_(budget_ms),
      visible_rows_(std::max(1, (where.h - rows_top - footer_height) / row_height)),
      previous_unicode_(SDL_EnableUNICODE(-1)),
      drawn_(static_cast<std::size_t>(visible_rows_)),
      worker_([this] { work(); }) {
    SDL_EnableUNICODE(1);
    text_.fonts().line_height(text_size);  // the fonts are read from disk now, not in a frame
    ask_search(false);
}

list_view::~list_view() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    wake_.notify_all();
    worker_.join();
    SDL_EnableUNICODE(previous_unicode_);
}

// The worker: every call to the source is made here, never in a frame.
void list_view::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return quit_ || search_job_ || !row_jobs_.empty() || count_wanted_; });
        if (quit_) return;
        working_ = true;
        if (!search_job_ && row_jobs_.empty()) {
            // Only when nothing on the screen waits: the count after the rows.
            count_wanted_ = false;
            lock.unlock();
            const std::size_t total = source_.count();
            lock.lock();
            total_answer_ = total;
        } else if (search_job_) {
            search_job job = std::move(*search_job_);
            search_job_.reset();
            count_wanted_ = true;
            lock.unlock();
            search_answer a{job.generation, source_.search(job.typed, job.order), 0, {}};
            if (job.keep) {
                const auto at = std::find(a.ids.begin(), a.ids.end(), *job.keep);
                if (at != a.ids.end()) a.position = static_cast<std::size_t>(at - a.ids.begin());
            }
            // The rows the first frame shows and those a page either side.
            const std::size_t page = static_cast<std::size_t>(visible_rows_);
            const std::size_t from = a.position > 2 * page ? a.position - 2 * page : 0;
            for (std::size_t i = from; i < std::min(a.ids.size(), a.position + 3 * page); ++i) {
                song_row r;
                if (source_.row(a.ids[i], r)) a.rows.push_back(std::move(r));
            }
            lock.lock();
            search_answer_ = std::move(a);
        } else {
            row_job job = std::move(row_jobs_.front());
            row_jobs_.pop_front();
            lock.unlock();
            std::vector<song_row> got;
            std::vector<song_id> missing;
            for (song_id id : job.ids) {
                song_row r;
                if (source_.row(id, r)) {
                    got.push_back(std::move(r));
                } else {
                    missing.push_back(id);
                }
            }
            lock.lock();
            if (job.version != answers_version_) {
                row_answers_.clear();
                missing_answers_.clear();
                answers_version_ = job.version;
            }
            for (song_row& r : got) row_answers_.push_back(std::move(r));
            missing_answers_.insert(missing_answers_.end(), missing.begin(), missing.end());
        }
        working_ = false;
        answered_.notify_all();
    }
}

void list_view::ask_search(std::optional<song_id> keep) {
    ++generation_;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        search_job_ = search_job{generation_, typed_, order_, keep};
    }
    wake_.notify_all();
}

// Rows about to be seen: the screen's and a page either side.
void list_view::ask_rows() {
    if (generation_ != answered_generation_ || ids_.empty()) return;
    const std::size_t page = static_cast<std::size_t>(visible_rows_);
    const std::size_t from = top_ > page ? top_ - page : 0;
    const std::size_t to = std::min(ids_.size(), top_ + 2 * page);
    std::vector<song_id> wanted;
    for (std::size_t i = from; i < to; ++i) {
        const song_id id = ids_[i];
        if (!rows_.count(id) && asked_.insert(id).second) wanted.push_back(id);
    }
    if (wanted.empty()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        row_jobs_.push_back({version_, std::move(wanted)});
    }
    wake_.notify_all();
}

bool list_view::take_answers() {
    std::optional<search_answer> a;
    std::optional<std::size_t> total;
    std::vector<song_row> got;
    std::vector<song_id> missing;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        a.swap(search_answer_);
        total.swap(total_answer_);
        got.swap(row_answers_);
        missing.swap(missing_answers_);
        if (answers_version_ != version_) {  // read before the last refresh
            got.clear();
            missing.clear();
        }
    }
    for (song_row& r : got) {
        asked_.erase(r.id);
        rows_[r.id] = std::move(r);
    }
    for (song_id id : missing) {
        // Gone from the source since it was listed: shown as such until the
        // next refresh lists again.
        asked_.erase(id);
        song_row gone;
        gone.id = id;
        gone.title = "?";
        rows_[id] = gone;
    }
    if (total) total_ = *total;
    const bool any = a || total || !got.empty() || !missing.empty();
    if (a && a->generation == generation_) {
        const std::size_t slot = position_ >= top_ ? position_ - top_ : 0;
        ids_ = std::move(a->ids);
        for (song_row& r : a->rows) rows_[r.id] = std::move(r);
        answered_generation_ = a->generation;
        position_ = a->position;
        top_ = position_ >= slot ? position_ - slot : 0;
        move_to(static_cast<std::ptrdiff_t>(position_));
    }
    return any;
}

bool list_view::waiting() const {
    if (generation_ != answered_generation_) return true;
    const std::size_t end = std::min(ids_.size(), top_ + static_cast<std::size_t>(visible_rows_));
    for (std::size_t i = top_; i < end; ++i)
        if (!rows_.count(ids_[i])) return true;
    return false;
}

void list_view::move_to(std::ptrdiff_t index) {
    const auto rows = static_cast<std::ptrdiff_t>(visible_rows_);
    const auto size = static_cast<std::ptrdiff_t>(ids_.size());
    index = std::clamp<std::ptrdiff_t>(index, 0, std::max<std::ptrdiff_t>(0, size - 1));
    auto top = static_cast<std::ptrdiff_t>(top_);
    if (index < top) top = index;
    if (index >= top + rows) top = index - rows + 1;
    top = std::clamp<std::ptrdiff_t>(top, 0, std::max<std::ptrdiff_t>(0, size - rows));
    position_ = static_cast<std::size_t>(index);
    top_ = static_cast<std::size_t>(top);
}

void list_view::hold(int key, std::ptrdiff_t step, std::uint32_t now_ms) {
    held_key_ = key;
    held_step_ = step;
    next_repeat_ = now_ms + repeat_delay_ms;
}

void list_view::let_go(int key) {
    if (key != held_key_) return;
    held_key_ = 0;
    held_step_ = 0;
}

action list_view::handle(const SDL_Event& e, std::uint32_t now_ms) {
    const auto page = static_cast<std::ptrdiff_t>(visible_rows_);
    auto step = [&](int key, std::ptrdiff_t by) {
        move_by(by);
        hold(key, by, now_ms);
    };
    auto choose = [&]() -> action {
        if (const auto id = highlighted()) return {action::chosen, *id};
        return {};
    };
    auto go_back = [&]() -> action {
        if (typed_.empty()) return {action::leave, 0};
        typed_.clear();
        ask_search(false);
        return {};
    };
    switch (e.type) {
        case SDL_KEYDOWN: {
            const SDLKey key = e.key.keysym.sym;
            switch (key) {
                case SDLK_UP: step(key, -1); return {};
                case SDLK_DOWN: step(key, 1); return {};
                case SDLK_PAGEUP: step(key, -page); return {};
                case SDLK_PAGEDOWN: step(key, page); return {};
                case SDLK_HOME: move_to(0); return {};
                case SDLK_END: move_to(static_cast<std::ptrdiff_t>(ids_.size()) - 1); return {};
                case SDLK_RETURN:
                case SDLK_KP_ENTER: return choose();
                case SDLK_ESCAPE: return go_back();
                case SDLK_BACKSPACE:
                    // Held, it goes on taking characters back as a held arrow moves.
                    erase_last_typed();
                    hold(key, 0, now_ms);
                    return {};
                case SDLK_TAB:
                    order_ = (e.key.keysym.mod & KMOD_SHIFT)
                                 ? static_cast<sort_order>((static_cast<int>(order_) + sort_order_count - 1) %
                                                           sort_order_count)
                                 : next_sort(order_);
                    ask_search(true);
                    return {};
                case SDLK_F2:
                    if (!ids_.empty())
                        move_to(std::uniform_int_distribution<std::ptrdiff_t>(
                            0, static_cast<std::ptrdiff_t>(ids_.size()) - 1)(random_));
                    return {};
                default: break;
            }
            if (type_character(e.key.keysym.unicode)) ask_search(false);
            return {};
        }
        case SDL_KEYUP: let_go(e.key.keysym.sym); return {};
        case SDL_JOYHATMOTION:
            if (e.jhat.hat != 0) return {};
            if (e.jhat.value & SDL_HAT_UP) {
                step(pad_hat, -1);
            } else if (e.jhat.value & SDL_HAT_DOWN) {
                step(pad_hat, 1);
            } else if (e.jhat.value & SDL_HAT_LEFT) {
                step(pad_hat, -page);
            } else if (e.jhat.value & SDL_HAT_RIGHT) {
                step(pad_hat, page);
            } else {
                let_go(pad_hat);
            }
            return {};
        case SDL_JOYAXISMOTION: {
            if (e.jaxis.axis != 1) return {};
            const std::ptrdiff_t by = e.jaxis.value < -stick_dead_zone ? -1 : e.jaxis.value > stick_dead_zone ? 1 : 0;
            if (by == 0) {
                let_go(pad_stick);
            } else if (held_key_ != pad_stick || held_step_ != by) {
                step(pad_stick, by);
            }
            return {};
        }
        case SDL_JOYBUTTONDOWN:
            if (e.jbutton.button == 0) return choose();
            if (e.jbutton.button == 1) return go_back();
            return {};
        case SDL_MOUSEBUTTONDOWN:
            if (e.button.button == SDL_BUTTON_WHEELUP) move_by(-wheel_rows);
            if (e.button.button == SDL_BUTTON_WHEELDOWN) move_by(wheel_rows);
            if (e.button.button == SDL_BUTTON_LEFT) return click(e.button.x, e.button.y, now_ms);
            return {};
        default: return {};
    }
}

action list_view::click(int x, int y, std::uint32_t now_ms) {
    const int row_y = y - area_.y - rows_top;
    if (x < area_.x || x >= area_.x + area_.w || row_y < 0 || row_y >= visible_rows_ * row_height) return {};
    const auto index = static_cast<std::ptrdiff_t>(top_) + row_y / row_height;
    if (index >= static_cast<std::ptrdiff_t>(ids_.size())) return {};
    const bool again = index == last_click_index_ && index == static_cast<std::ptrdiff_t>(position_) &&
                       now_ms - last_click_ms_ <= static_cast<std::uint32_t>(double_click_ms);
    move_to(index);
    if (again) {
        last_click_index_ = -1;
        if (const auto id = highlighted()) return {action::chosen, *id};
        return {};
    }
    last_click_index_ = index;
    last_click_ms_ = now_ms;
    return {};
}

void list_view::erase_last_typed() {
    if (typed_.empty()) return;
    drop_last_character(typed_);
    ask_search(false);
}

bool list_view::type_character(char32_t c) {
    const bool printable = c >= 0x20 && c != 0x7F && !(c >= 0x80 && c < 0xA0) && !(c >= 0xD800 && c <= 0xDFFF);
    if (!printable || typed_.size() >= typed_limit) return false;
    text::append_utf8(typed_, c);
    return true;
}

void list_view::type_text(const std::string& utf8) {
    bool any = false;
    for (char32_t c : text::decode_utf8(utf8)) any = type_character(c == U'\n' || c == U'\t' ? U' ' : c) || any;
    if (any) ask_search(false);
}

void list_view::update(std::uint32_t now_ms) {
    take_answers();
    if (held_key_ != 0 && static_cast<std::int32_t>(now_ms - next_repeat_) >= 0) {
        if (held_key_ == SDLK_BACKSPACE) {
            erase_last_typed();
        } else {
            move_by(held_step_);
        }
        next_repeat_ = now_ms + repeat_interval_ms;
    }
    ask_rows();
    const auto deadline = steady::now() + std::chrono::milliseconds(budget_ms_);
    while (waiting()) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            answered_.wait_until(lock, deadline, [this] {
                return search_answer_ || !row_answers_.empty() || !missing_answers_.empty();
            });
        }
        if (take_answers()) ask_rows();
        if (steady::now() >= deadline) break;
    }
    trim_rows();
}

void list_view::trim_rows() {
    if (rows_.size() <= kept_rows) return;
    const std::size_t page = static_cast<std::size_t>(visible_rows_);
    const std::size_t from = top_ > 2 * page ? top_ - 2 * page : 0;
    const std::size_t to = std::min(ids_.size(), top_ + 3 * page);
    std::unordered_map<song_id, song_row> kept;
    for (std::size_t i = from; i < to; ++i) {
        auto it = rows_.find(ids_[i]);
        if (it != rows_.end()) kept.emplace(it->first, std::move(it->second));
    }
    rows_.swap(kept);
}

void list_view::refresh() {
    rows_.clear();
    asked_.clear();
    ++version_;
    ask_search(true);
}

void list_view::highlight_song(song_id id) {
    rows_.clear();
    asked_.clear();
    ++version_;
    ask_search(std::optional<song_id>(id));
}

bool list_view::settle(std::uint32_t timeout_ms) {
    const auto deadline = steady::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        take_answers();
        ask_rows();
        bool idle;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            idle = !working_ && !search_job_ && row_jobs_.empty() && !count_wanted_ && !search_answer_ &&
                   !total_answer_ && row_answers_.empty() && missing_answers_.empty();
            if (!idle && !answered_.wait_until(lock, deadline, [this] {
                    return search_answer_ || total_answer_ || !row_answers_.empty() || !missing_answers_.empty() ||
                           (!working_ && !search_job_ && row_jobs_.empty() && !count_wanted_);
                }))
                return false;
        }
        if (idle && !waiting()) return true;
        if (steady::now() >= deadline) return false;
    }
}

std::optional<song_id> list_view::highlighted() const {
    if (position_ >= ids_.size()) return std::nullopt;
    return ids_[position_];
}

const song_row* list_view::highlighted_row() const {
    const auto id = highlighted();
    if (!id) return nullptr;
    auto it = rows_.find(*id);
    return it == rows_.end() ? nullptr : &it->second;
}

void list_view::draw_header(SDL_Surface* target) {
    const SDL_Rect r = rect(area_.x, area_.y, area_.w, header_height);
    fill(target, r, black);
    const int y = area_.y + (header_height - text_.fonts().line_height(text_size)) / 2;
    const std::string sort = std::string("Sort: ") + sort_name(order_) + " (Tab)";
    const int sort_width = text_.width(sort, text_size);
    text_.draw(target, area_.x + area_.w - best_right_margin - sort_width, y, sort, {text_size, grey, black});
    const int room = area_.w - sort_width - 3 * best_right_margin - title_x;
    if (typed_.empty()) {
        text_.draw(target, area_.x + title_x, y, "Type to search", {text_size, dim, black}, room);
    } else {
        // The end of what was typed stays in sight: the start is cut when it is long.
        std::string shown = "Search: " + typed_ + "_";
        const int w = text_.width(shown, text_size);
        if (w > room) {
            SDL_Surface* p = text_.picture(target->format, shown, {text_size, white, black});
            if (p) {
                SDL_Rect from = rect(p->w - room, 0, room, p->h);
                SDL_Rect to = rect(area_.x + title_x, y, 0, 0);
                SDL_BlitSurface(p, &from, target, &to);
                text_.drawn(rect(to.x, to.y, room, p->h), shown);
            }
        } else {
            text_.draw(target, area_.x + title_x, y, shown, {text_size, white, black});
        }
    }
}

void list_view::draw_footer(SDL_Surface* target) {
    const SDL_Rect r = rect(area_.x, area_.y + area_.h - footer_height, area_.w, footer_height);
    fill(target, r, black);
    const int y = r.y + (footer_height - text_.fonts().line_height(text_size)) / 2;
    std::string count = std::to_string(ids_.size()) + " of " + std::to_string(total_) + " songs";
    const int count_width = text_.draw(target, area_.x + title_x, y, count, {text_size, grey, black});
    // The never-played mark's legend, beside the count; the keys in what is
    // left on the right, cut when the list is narrow.
    const int legend_x = area_.x + title_x + count_width + 24;
    fill(target, rect(legend_x, r.y + (footer_height - mark_size) / 2, mark_size, mark_size), never_played_mark);
    const int legend_end =
        legend_x + mark_size + 4 + text_.draw(target, legend_x + mark_size + 4, y, "never played", {text_size, dim, black});
    const std::string keys = "Return: play";
    const int room = area_.x + area_.w - best_right_margin - (legend_end + 3 * column_gap);
    if (room > 0) {
        const int w = std::min(text_width(keys), room);
        text_.draw(target, area_.x + area_.w - best_right_margin - w, y, keys, {text_size, dim, black}, room);
    }
}

void list_view::draw_slot(SDL_Surface* target, int slot) {
    const int y = area_.y + rows_top + slot * row_height;
    const std::size_t index = top_ + static_cast<std::size_t>(slot);
    const bool lit = index == position_ && index < ids_.size();
    const std::uint32_t bg = lit ? highlight : black;
    fill(target, rect(area_.x, y, area_.w, row_height), bg);
    const int ty = y + (row_height - text_.fonts().line_height(text_size)) / 2;
    if (index >= ids_.size()) {
        if (slot != 0 || !ids_.empty()) return;
        std::string message = generation_ != answered_generation_ ? "Searching…"
                              : total_ == 0                        ? "No songs in the library yet"
                                                                   : "No song matches \"" + typed_ + "\"";
        text_.draw(target, area_.x + title_x, ty, message, {text_size, grey, black}, area_.w - 2 * title_x);
        return;
    }
    auto it = rows_.find(ids_[index]);
    if (it == rows_.end()) {
        text_.draw(target, area_.x + title_x, ty, "…", {text_size, dim, bg});
        return;
    }
    const song_row& row = it->second;
    if (!row.played)
        fill(target, rect(area_.x + mark_x, y + (row_height - mark_size) / 2, mark_size, mark_size),
             never_played_mark);
    const columns& c = columns_;
    text_.draw(target, area_.x + title_x, ty, row.title.empty() ? "-" : row.title, {text_size, white, bg},
               c.title_width);
    text_.draw(target, area_.x + c.artist_x, ty, row.artist, {text_size, lit ? white : grey, bg}, c.artist_width);
    // Right-aligned in columns as wide as their widest text (fit_columns).
    auto right_aligned = [&](const std::string& text, int right, int width) {
        const int w = std::min(text_width(text), width);
        text_.draw(target, area_.x + right - w, ty, text, {text_size, white, bg}, width);
    };
    right_aligned(best_text(row.best), area_.w - best_right_margin, c.best_width);
    right_aligned(clock_text(row.seconds), c.length_right, c.length_width);
}

int list_view::text_width(const std::string& text) {
    if (auto it = widths_.find(text); it != widths_.end()) return it->second;
    if (widths_.size() >= kept_rows) widths_.clear();
    return widths_[text] = text_.width(text, text_size);
}

bool list_view::fit_columns() {
    columns c = columns_;
    c.length_width = std::max(c.length_width, text_width("LENGTH"));
    c.best_width = std::max(c.best_width, text_width("BEST"));
    const std::size_t end = std::min(ids_.size(), top_ + static_cast<std::size_t>(visible_rows_));
    for (std::size_t i = top_; i < end; ++i) {
        auto it = rows_.find(ids_[i]);
        if (it == rows_.end()) continue;
        c.length_width = std::max(c.length_width, text_width(clock_text(it->second.seconds)));
        c.best_width = std::max(c.best_width, text_width(best_text(it->second.best)));
    }
    // The length and the best may take at most half the row; the rest is the
    // title's and the artist's.
    const int room = area_.w - best_right_margin - title_x;
    c.best_width = std::min(c.best_width, room / 4);
    c.length_width = std::min(c.length_width, room / 4);
    c.length_right = area_.w - best_right_margin - c.best_width - column_gap;
    const int names = c.length_right - c.length_width - column_gap - title_x;
    c.title_width = std::max(0, (names - column_gap) * title_share / 100);
    c.artist_x = title_x + c.title_width + column_gap;
    c.artist_width = std::max(0, c.length_right - c.length_width - column_gap - c.artist_x);
    const bool grew = c.length_width != columns_.length_width || c.best_width != columns_.best_width ||
                      c.title_width != columns_.title_width;
    columns_ = c;
    return grew;
}

const std::vector<SDL_Rect>& list_view::draw(SDL_Surface* target, bool everything) {
    updated_.clear();
    if (!target) return updated_;
    const bool grew = fit_columns();
    const bool all = everything || !drawn_once_ || grew;
    if (all) {
        fill(target, rect(area_.x, area_.y, area_.w, area_.h), black);
        const int y = area_.y + header_height + (headings_height - text_.fonts().line_height(text_size)) / 2;
        const text::style heading{text_size, dim, black};
        const columns& c = columns_;
        text_.draw(target, area_.x + title_x, y, "TITLE", heading, c.title_width);
        text_.draw(target, area_.x + c.artist_x, y, "ARTIST", heading, c.artist_width);
        const int lw = text_.width("LENGTH", text_size), bw = text_.width("BEST", text_size);
        text_.draw(target, area_.x + c.length_right - lw, y, "LENGTH", heading);
        text_.draw(target, area_.x + area_.w - best_right_margin - bw, y, "BEST", heading);
        updated_.push_back(rect(area_.x, area_.y, area_.w, area_.h));
        drawn_once_ = true;
    }
    const std::string header = typed_ + '\0' + sort_name(order_);
    const bool header_changed = header != drawn_header_;
    if (all || header_changed) {
        draw_header(target);
        drawn_header_ = header;
        if (!all) updated_.push_back(rect(area_.x, area_.y, area_.w, header_height));
    }
    const bool searching = generation_ != answered_generation_;
    for (int slot = 0; slot < visible_rows_; ++slot) {
        const std::size_t index = top_ + static_cast<std::size_t>(slot);
        drawn_slot now;
        if (index < ids_.size()) {
            now.id = ids_[index];
            now.read = rows_.count(now.id) != 0;
            now.highlighted = index == position_;
        } else if (slot == 0 && ids_.empty()) {
            now.id = searching ? -2 : -3;  // the message in place of rows
        }
        now.version = version_;
        drawn_slot& was = drawn_[static_cast<std::size_t>(slot)];
        if (all || now.id != was.id || now.read != was.read || now.highlighted != was.highlighted ||
            now.version != was.version || (now.id == -3 && header_changed)) {
            draw_slot(target, slot);
            was = now;
            if (!all) updated_.push_back(rect(area_.x, area_.y + rows_top + slot * row_height, area_.w, row_height));
        }
    }
    const std::string footer = std::to_string(ids_.size()) + '/' + std::to_string(total_);
    if (all || footer != drawn_footer_) {
        draw_footer(target);
        drawn_footer_ = footer;
        if (!all) updated_.push_back(rect(area_.x, area_.y + area_.h - footer_height, area_.w, footer_height));
    }
    return updated_;
}

}  // namespace songlist
