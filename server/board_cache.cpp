#include "server/board_cache.hpp"

#include <exception>
#include <future>

namespace server {

struct board_cache::entry {
    std::shared_future<std::shared_ptr<const board_top>> value;
    clock::time_point since;  // when its fill began: its rows are no older
    std::list<board_id>::iterator place;
};

void board_cache::configure(std::chrono::milliseconds ttl, std::size_t boards) {
    std::lock_guard<std::mutex> lock(mutex_);
    ttl_ = ttl;
    boards_ = boards;
    entries_.clear();
    recent_.clear();
}

void board_cache::drop_locked(const board_id& b) {
    const auto it = entries_.find(b);
    if (it == entries_.end()) return;
    recent_.erase(it->second->place);
    entries_.erase(it);
}

std::shared_ptr<const board_top> board_cache::get(const board_id& b, const std::function<board_top()>& fill) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (ttl_.count() <= 0 || boards_ == 0 || writing_.count(b)) {
        lock.unlock();
        return std::make_shared<const board_top>(fill());
    }
    const auto now = clock::now();
    if (const auto it = entries_.find(b); it != entries_.end()) {
        if (now - it->second->since < ttl_) {
            recent_.splice(recent_.begin(), recent_, it->second->place);
            const auto value = it->second->value;
            lock.unlock();
            return value.get();  // waits for a fill under way
        }
        drop_locked(b);
    }
    // This caller fills; the entry stands for the fill from now, so the
    // others wait for it, and a write begun meanwhile drops it.
    std::promise<std::shared_ptr<const board_top>> promise;
    auto e = std::make_shared<entry>();
    e->value = promise.get_future().share();
    e->since = now;
    recent_.push_front(b);
    e->place = recent_.begin();
    entries_.emplace(b, e);
    while (entries_.size() > boards_) drop_locked(recent_.back());
    lock.unlock();
    try {
        auto value = std::make_shared<const board_top>(fill());
        promise.set_value(value);
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
