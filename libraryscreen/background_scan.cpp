#include "libraryscreen/background_scan.hpp"

#include <utility>

namespace libraryscreen {

scanner::~scanner() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

void scanner::start(std::vector<std::string> folders) {
    std::lock_guard<std::mutex> hold(mutex_);
    queue_.push_back(std::move(folders));
    if (running_) return;
    if (thread_.joinable()) thread_.join();
    running_ = true;
    thread_ = std::thread([this] { work(); });
}

std::string scanner::take_error() {
    std::lock_guard<std::mutex> hold(mutex_);
    return std::exchange(error_, {});
}

void scanner::work() {
    for (;;) {
        std::vector<std::string> folders;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            if (queue_.empty() || stop_) {
                running_ = false;
                return;
            }
            folders = std::move(queue_.front());
            queue_.pop_front();
        }
        musicfiles::scan_options options;
        options.stop = &stop_;
        options.progress = [this](const musicfiles::scan_counts& c) {
            seen_ = c.seen;
            read_ = c.read;
            to_read_ = c.to_read;
            ++changes_;
        };
        std::string why;
        calls_.scan(folders, options, why);
        ++changes_;
        std::lock_guard<std::mutex> hold(mutex_);
        if (!why.empty()) error_ = why;
    }
}

}  // namespace libraryscreen
