#include "preview/preview.hpp"

#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace pb = audiolayer::playback;

namespace preview {

player::player(timing t) : timing_(t), worker_([this] { work(); }) {}

player::~player() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    wake_.notify_one();
    worker_.join();
    drop_sounding();
}

void player::work() {
    // Reading through a file to its start position takes whole milliseconds
    // of processor time: as a batch thread this one never preempts the frame
    // loop when it is woken, and at a lower priority it yields to it.
    const auto self = static_cast<pid_t>(syscall(SYS_gettid));
    sched_param batch{};
    sched_setscheduler(self, SCHED_BATCH, &batch);
    setpriority(PRIO_PROCESS, static_cast<id_t>(self), 10);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return quit_ || has_request_; });
        if (quit_) return;
        const std::string path = request_path_;
        const std::uint64_t generation = request_generation_;
        has_request_ = false;
        lock.unlock();
        pb::detached_open opened = pb::open_detached(path.c_str(), timing_.start);
        lock.lock();
        if (generation != wanted_generation_) {
            lock.unlock();
            opened = {};  // its row was left: closed here, off the frame
            lock.lock();
            continue;
        }
        result_ = std::move(opened);
        result_path_ = path;
        result_generation_ = generation;
        has_result_ = true;
    }
}

void player::drop_sounding() {
    if (stream_ == 0) return;
    pb::channel_stop(stream_);
    pb::stream_free(stream_);
    stream_ = 0;
    playing_path_.clear();
}

void player::select(const std::string& path, std::uint32_t now_ms) {
    if (path == selected_) return;
    drop_sounding();
    selected_ = path;
    selected_at_ = now_ms;
    requested_ = false;
    tried_ = path.empty();
    opened_ = {};
    error_.clear();
    ++generation_;
    std::lock_guard<std::mutex> lock(mutex_);
    wanted_generation_ = generation_;
    has_request_ = false;
    if (has_result_) {
        has_result_ = false;
        result_ = {};  // a stale stream, freed without touching the output
    }
}

void player::stop() {
    drop_sounding();
    tried_ = true;
    opened_ = {};
}

void player::take_finished() {
    std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock() || !has_result_) return;
    has_result_ = false;
    if (result_generation_ == generation_) {
        opened_ = std::move(result_);
        opened_path_ = result_path_;
    }
    result_ = {};
}

void player::update(std::uint32_t now_ms) {
    if (tried_) return;
    const std::uint32_t rested = now_ms - selected_at_;
    if (!requested_ && rested >= timing_.settle_ms) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            request_path_ = selected_;
            request_generation_ = generation_;
            has_request_ = true;
        }
        wake_.notify_one();
        requested_ = true;
    }
    if (!requested_) return;
    if (!opened_.stream && opened_.error.empty()) take_finished();
    if (!opened_.error.empty()) {
        error_ = opened_.error;
        tried_ = true;
        return;
    }
    if (!opened_.stream || rested < timing_.wait_ms) return;
    tried_ = true;
    const pb::handle h = pb::stream_adopt(std::move(opened_.stream));
    if (h == 0) {
        error_ = pb::last_error();
        return;
    }
    pb::set_volume(volume_);
    pb::output_clock clock{};
    pb::channel_get_clock(h, &clock);
    const auto fade = static_cast<std::uint32_t>(std::uint64_t{timing_.fade_in_ms} * clock.rate / 1000);
    if (!pb::channel_play_fading_in(h, fade)) {
        error_ = pb::last_error();
        pb::stream_free(h);
        return;
    }
    stream_ = h;
    playing_path_ = opened_path_;
}

}  // namespace preview
