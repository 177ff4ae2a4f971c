#include "server/board_cache.hpp"

#include <exception>
#include <future>

namespace server {

struct board_cache::entry {
    std::shared_future<std::shared_ptr<const board_top>> value;
    clock::time_point since;  // when its fill began: its rows are no older
    std::list<board_id>::iterator place;
    bool refilling = false;   // a caller fills it again; the others take value
    std::size_t rows = 0;     // counted in kept_rows_ once filled
};

void board_cache::configure(std::chrono::milliseconds ttl, std::size_t boards) {
    std::lock_guard<std::mutex> lock(mutex_);
    ttl_ = ttl;
    boards_ = boards;
    entries_.clear();
    recent_.clear();
    kept_rows_ = 0;
}

void board_cache::drop_locked(const board_id& b) {
    const auto it = entries_.find(b);
    if (it == entries_.end()) return;
    kept_rows_ -= it->second->rows;
    recent_.erase(it->second->place);
    entries_.erase(it);
}

void board_cache::trim_locked() {
    // The most recent stays, whatever its size: its reader has it already.
    while (entries_.size() > 1 && (entries_.size() > boards_ || kept_rows_ > rows_)) drop_locked(recent_.back());
}

std::shared_ptr<const board_top> board_cache::get(const board_id& b, const std::function<board_top()>& fill) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (ttl_.count() <= 0 || boards_ == 0 || writing_.count(b)) {
        lock.unlock();
        return std::make_shared<const board_top>(fill());
    }
    const auto now = clock::now();
    std::shared_ptr<entry> e;
    if (const auto it = entries_.find(b); it != entries_.end()) {
        e = it->second;
        recent_.splice(recent_.begin(), recent_, e->place);
        const bool ready = e->value.valid() &&
                           e->value.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
        if (now - e->since < ttl_ || e->refilling || !ready) {
            const auto value = e->value;
            lock.unlock();
            return value.get();  // waits for a first fill under way
        }
        e->refilling = true;
    } else {
        // The entry stands for the fill from now, so the others wait for
        // it, and a write begun meanwhile drops it.
        e = std::make_shared<entry>();
        recent_.push_front(b);
        e->place = recent_.begin();
        entries_.emplace(b, e);
    }
    std::promise<std::shared_ptr<const board_top>> promise;
    std::shared_future<std::shared_ptr<const board_top>> filled = promise.get_future().share();
    if (!e->refilling) e->value = filled;
    lock.unlock();
    try {
        auto value = std::make_shared<const board_top>(fill());
        promise.set_value(value);
        lock.lock();
        // Kept only while the entry is still the board's (no write dropped it).
        if (const auto it = entries_.find(b); it != entries_.end() && it->second == e) {
            e->value = filled;
            e->since = now;
            e->refilling = false;
            kept_rows_ += value->rows() - e->rows;
            e->rows = value->rows();
            trim_locked();
        }
        return value;
    } catch (...) {
        promise.set_exception(std::current_exception());
        lock.lock();
        if (const auto it = entries_.find(b); it != entries_.end() && it->second == e) drop_locked(b);
        throw;
    }
}

void board_cache::begin_write(const board_id& b) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++writing_[b];
    drop_locked(b);
}

void board_cache::end_write(const board_id& b) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = writing_.find(b);
    if (it != writing_.end() && --it->second <= 0) writing_.erase(it);
    drop_locked(b);
}

std::size_t board_cache::kept() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
}

board_cache& boards_cache() {
    static board_cache cache(std::chrono::milliseconds(1000), 512);
    return cache;
}

}  // namespace server
