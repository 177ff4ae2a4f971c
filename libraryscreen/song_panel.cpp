#include "libraryscreen/song_panel.hpp"

#include <algorithm>

#include "converter/difficulty.hpp"
#include "converter/editions.hpp"
#include "libraryscreen/drawing.hpp"
#include "libraryscreen/text_layout.hpp"
#include "results/replay_file.hpp"
#include "vaz/clock_text.hpp"

namespace libraryscreen {
namespace {

constexpr int margin = 10;
constexpr int title_size = 16, text_size = 14, small_size = 13;

// Unknown lengths show as "-".
std::string clock_text(double seconds) { return seconds > 0 ? vaz::clock_text(seconds) : "-"; }

std::string best_text(const run_figures& r) {
    return results::ratio_text(static_cast<float>(r.ratio)) + "/" + std::to_string(r.hits);
}

}  // namespace

song_panel::song_panel(library_calls& calls, text::text_cache& text, SDL_Rect area)
    : calls_(calls), text_(text), area_(area), worker_([this] { work(); }) {}

song_panel::~song_panel() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    wake_.notify_all();
    worker_.join();
}

void song_panel::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return quit_ || asked_; });
        if (quit_) return;
        const auto [generation, path] = *asked_;
        asked_.reset();
        working_ = true;
        lock.unlock();
        reading r;
        r.generation = generation;
        r.path = path;
        r.facts = calls_.facts(path);
        r.cover = load_cover(path, r.facts.tagged_cover, cover_size);
        lock.lock();
        answer_ = std::move(r);
        working_ = false;
    }
}

void song_panel::ask(const std::string& path) {
    ++generation_;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        asked_ = std::make_pair(generation_, path);
    }
    wake_.notify_all();
}

void song_panel::show(const std::string& path, const std::string& title) {
    title_ = title;
    if (path == path_) return;
    path_ = path;
    shown_.reset();
    if (!path.empty()) ask(path);
}

void song_panel::reload() {
    if (!path_.empty()) ask(path_);
}

bool song_panel::settled() {
    std::lock_guard<std::mutex> lock(mutex_);
    return path_.empty() || (!asked_ && !working_ && (answer_ || (shown_ && shown_->generation == generation_)));
}

SDL_Rect song_panel::cover_box() const {
    return {static_cast<Sint16>(area_.x + (area_.w - cover_size) / 2), static_cast<Sint16>(area_.y + margin),
            static_cast<Uint16>(cover_size), static_cast<Uint16>(cover_size)};
}

namespace {

// The cover in its box, or the empty box saying there is none once read.
void draw_cover(text::text_cache& text, SDL_Surface* target, const SDL_Rect& box, SDL_Surface* cover, bool read) {
    if (cover) {
        SDL_Rect at{static_cast<Sint16>(box.x + (box.w - cover->w) / 2), static_cast<Sint16>(box.y + (box.h - cover->h) / 2),
                    0, 0};
        SDL_BlitSurface(cover, nullptr, target, &at);
        return;
    }
    fill(target, box.x, box.y, box.w, box.h, dim);
    fill(target, box.x + 1, box.y + 1, box.w - 2, box.h - 2, 0);
    const std::string none = read ? "No cover" : "";
    const int w = std::min(text.width(none, small_size), box.w - 4);
    text.draw(target, box.x + (box.w - w) / 2, box.y + (box.h - text.fonts().line_height(small_size)) / 2, none,
              style(small_size, dim), box.w - 4);
}

// A row of figures on the right and words on the left, highlighted when marked.
void draw_row(text::text_cache& text, SDL_Surface* target, int x, int y, int width, int step, const std::string& left,
              const std::string& right, bool marked) {
    const std::uint32_t bg = marked ? highlight : 0;
    fill(target, x - 4, y - 1, width + 8, step, bg);
    const int fw = std::min(text.width(right, small_size), width / 2);
    if (!right.empty()) text.draw(target, x + width - fw, y, right, style(small_size, white, bg), width / 2);
    text.draw(target, x, y, left, style(small_size, marked ? white : grey, bg), width - fw - 8);
}

// The bests: every edition and difficulty played, and the chosen one, down
// to `bottom`; where the next line goes.
int draw_bests(text::text_cache& text, SDL_Surface* target, int x, int y, int width, int bottom, const song_facts* f,
               ::library::stage_choice stage) {
    const int step = line_step(text, small_size);
    // The chosen row's best says which board it is of.
    std::string header = "Bests";
    if (f)
        for (const song_facts::best& b : f->bests)
            if (b.edition == stage.edition_name() && b.difficulty == stage.difficulty_name())
                header += b.own_stage ? ", own stage" : ", board stage";
    text.draw(target, x, y, header, style(small_size, dim), width);
    y += step;
    for (const converter::edition_info& e : converter::editions) {
        for (converter::difficulty d : {converter::difficulty::easy, converter::difficulty::normal,
                                        converter::difficulty::hard}) {
            const std::string dn = converter::difficulty_name(d);
            const bool chosen = e.id == stage.edition && d == stage.difficulty;
            const song_facts::best* b = nullptr;
            if (f)
                for (const song_facts::best& candidate : f->bests)
                    if (candidate.edition == e.name && candidate.difficulty == dn) b = &candidate;
            if (!chosen && !b) continue;
            if (y + step > bottom) return y;
            draw_row(text, target, x, y, width, step, std::string(chosen ? "> " : "  ") + e.name + " " + dn,
                     b ? best_text(b->run) : "-", chosen);
            y += step;
        }
    }
    return y;
}

}  // namespace

bool song_panel::draw(SDL_Surface* target, ::library::stage_choice stage, bool everything,
                      const std::vector<world_line>& world) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (answer_ && answer_->generation == generation_) shown_ = std::move(answer_);
        answer_.reset();
    }
    const std::string key = path_ + '\0' + title_ + '\0' + stage.edition_name() + '\0' + stage.difficulty_name() +
                            '\0' + (shown_ ? std::to_string(shown_->generation) : std::string("-")) + '\0' + ghost_note_;
    if (!everything && key == drawn_key_ && world == drawn_world_) return false;
    drawn_key_ = key;
    drawn_world_ = world;

    fill(target, area_.x, area_.y, area_.w, area_.h, 0);
    fill(target, area_.x, area_.y, 1, area_.h, dim);
    if (path_.empty()) return true;
    const int x = area_.x + margin, width = area_.w - 2 * margin;
    const SDL_Rect box = cover_box();
    draw_cover(text_, target, box, shown_ ? shown_->cover.get() : nullptr, shown_.has_value());

    int y = box.y + box.h + margin;
    const song_facts* f = shown_ && shown_->facts.found ? &shown_->facts : nullptr;
    y = draw_wrapped(text_, target, x, y, f ? f->title : title_, style(title_size, white), width, 2);
    if (f) {
        if (!f->artist.empty()) y = draw_wrapped(text_, target, x, y, f->artist, style(text_size, grey), width, 1);
        if (!f->album.empty()) y = draw_wrapped(text_, target, x, y, f->album, style(text_size, grey), width, 1);
        std::string when = clock_text(f->seconds);
        if (f->year > 0) when = std::to_string(f->year) + "   " + when;
        y = draw_wrapped(text_, target, x, y, when, style(small_size, grey), width, 1);
    }

    const int step = line_step(text_, small_size);
    const int hint_y = area_.y + area_.h - step * (ghost_note_.empty() ? 1 : 2);
    y = draw_bests(text_, target, x, y + 6, width, hint_y, f, stage);
    // The world's board of the chosen edition and difficulty, as far as there is room.
    if (!world.empty() && y + 2 * step + 6 <= hint_y) {
        y += 6;
        text_.draw(target, x, y, "World", style(small_size, dim), width);
        y += step;
        for (const world_line& l : world) {
            if (y + step > hint_y) break;
            draw_row(text_, target, x, y, width, step, l.left, l.right, l.you);
            y += step;
        }
    }
    text_.draw(target, x, hint_y, "\u2190/\u2192: difficulty   Ctrl+G: ghost", style(small_size, dim), width);
    if (!ghost_note_.empty()) text_.draw(target, x, hint_y + step, ghost_note_, style(small_size, white), width);
    return true;
}

}  // namespace libraryscreen
