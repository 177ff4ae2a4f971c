#pragma once
#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "libraryscreen/library_calls.hpp"

namespace libraryscreen {

// Rescans folders on a thread of its own, one request after another, so the
// list stays usable; the list is read again as batches are written.
class scanner {
public:
    explicit scanner(library_calls& calls) : calls_(calls) {}
    ~scanner();
    void start(std::vector<std::string> folders);
    bool busy() const { return running_; }
    std::size_t seen() const { return seen_; }
    std::size_t read() const { return read_; }
    std::size_t to_read() const { return to_read_; }
    // Bumped whenever rows may have changed.
    std::uint64_t changes() const { return changes_; }
    // Why the last scan failed, once: "" when it did not, or it was taken.
    std::string take_error();

private:
    void work();

    library_calls& calls_;
    std::mutex mutex_;
    std::deque<std::vector<std::string>> queue_;
    std::string error_;
    std::atomic<bool> running_{false}, stop_{false};
    std::atomic<std::size_t> seen_{0}, read_{0}, to_read_{0};
    std::atomic<std::uint64_t> changes_{0};
    std::thread thread_;
};

}  // namespace libraryscreen
