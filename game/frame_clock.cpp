#include "game/frame_clock.hpp"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "shell/frame_pacing.hpp"
#include "shell/music.hpp"

namespace mp = music_pacing;

namespace {

std::int64_t now_us() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

void sleep_us(std::int64_t us) {
    if (us > 0) std::this_thread::sleep_for(std::chrono::microseconds(us));
}

}  // namespace

frame_clock::frame_clock(int offset_ms, int align_ms)
    : offset_ms_(offset_ms + align_ms), hold_(align_ms != 0 && offset_ms + align_ms < 0) {
    if (const char* file = std::getenv("VELMORA_SYNC_LOG"); file && *file) {
        log_ = std::fopen(file, "w");
        if (log_) std::fprintf(log_, "frame wall_us following updates tick lag music_frames latency rate position handed_us\n");
    }
    if (const char* stall_list = std::getenv("VELMORA_SYNC_STALL"); stall_list && *stall_list) {
        const char* p = stall_list;
        while (*p) {
            char* end = nullptr;
            const long long tick = std::strtoll(p, &end, 10);
            if (end == p || *end != ':') break;
            p = end + 1;
            const unsigned long ms = std::strtoul(p, &end, 10);
            if (end == p) break;
            stalls_.push_back(stall{tick, static_cast<std::uint32_t>(ms)});
            p = *end == ',' ? end + 1 : end;
        }
    }
}

frame_clock::~frame_clock() {
    if (log_) std::fclose(log_);
}

bool frame_clock::read(mp::reading& r) const {
    return music_clock(r) && r.rate != 0;
}

std::int64_t frame_clock::position(std::int64_t now) {
    if (holding_) {
        // The music's frame 0 is due -offset after tick 0: until then the
        // position runs on the wall clock, as the music would once it plays.
        const std::int64_t held = (now + lead_.lead_us() - hold_zero_us_) * line_.rate / mp::us_per_second;
        if (held < -mp::offset_frames(offset_ms_, line_.rate)) return held;
        end_hold(now);
        if (!following_) return 0;
    }
    mp::reading r{};
    if (read(r)) {
        last_ = r;
        line_ = mp::observe(line_, now, r);
    }
    return mp::heard_frames(line_, now + lead_.lead_us()) - mp::offset_frames(offset_ms_, line_.rate);
}

std::int64_t frame_clock::updates_due() {
    if (paused_) return frame_updates_ = 0;
    if (!following_) return frame_updates_ = 1;
    frame_updates_ = mp::updates_for(ticks_, position(now_us()), line_.rate).updates;
    return frame_updates_;
}

std::int64_t frame_clock::updates_at_next_tick() {
    if (paused_ || !following_) return 0;
    const std::int64_t now = now_us();
    sleep_until_due(now, position(now));
    const std::int64_t more = mp::updates_for(ticks_, position(now_us()), line_.rate).updates;
    frame_updates_ += more;
    return more;
}

void frame_clock::sleep_until_due(std::int64_t now, std::int64_t pos) {
    // A device late with its next buffer holds the music heard where it is,
    // so a sleep can end before the update is due: a frame drawn then would
    // show nothing new and hold the next update back by its own length. So
    // look again, within max_wait_us in all, so the window keeps answering.
    const std::int64_t until = now + mp::max_wait_us;
    for (std::int64_t us = mp::wait_us(ticks_, pos, line_.rate); us > 0;) {
        sleep_us(us);
        const std::int64_t then = now_us();
        if (then >= until) break;
        us = std::min(mp::wait_us(ticks_, position(then), line_.rate), until - then);
    }
}

bool frame_clock::after_update() {
    const bool playing = holding_ || music_playing();
    if (playing == following_) {
        if (following_) ++ticks_.done;
        return true;
    }
    following_ = playing;
    if (playing) {
        following_ = start_following();
    } else {
        frame_wait_restart();
    }
    return false;
}

bool frame_clock::start_following() {
    // This update started the music: the next one runs tick 0.
    mp::reading r{};
    if (!read(r)) return false;
    last_ = r;
    const std::int64_t now = now_us();
    line_ = mp::start_line(now, r);
    ticks_ = mp::ticks{};
    if (hold_ && music_pause()) {
        holding_ = true;
        hold_zero_us_ = now;
    }
    return true;
}

void frame_clock::end_hold(std::int64_t now) {
    holding_ = false;
    mp::reading r{};
    if (music_resume() && read(r)) {
        last_ = r;
        line_ = mp::start_line(now, r);
        return;
    }
    // The music would not go on: the run carries on on the wall clock.
    following_ = false;
    frame_wait_restart();
}

void frame_clock::wait() {
    const std::int64_t now = now_us();
    const std::int64_t pos = following_ ? position(now) : 0;
    if (log_) write_log_line(now, pos);
    ++frame_;
    if (following_ && !paused_) {
        if (frame_updates_ == 1 && woke_us_ > 0) lead_.add(now - woke_us_);
        bool stalled = false;
        for (stall& s : stalls_) {
            if (s.ms > 0 && ticks_.done + ticks_.lag >= s.tick) {
                sleep_us(static_cast<std::int64_t>(s.ms) * 1000);
                s.ms = 0;
                stalled = true;
            }
        }
        if (stalled) {
            const std::int64_t then = now_us();
            sleep_until_due(then, position(then));
        } else {
            sleep_until_due(now, pos);
        }
        woke_us_ = now_us();
        return;
    }
    woke_us_ = 0;
    frame_wait();
}

void frame_clock::pause() {
    if (paused_) return;
    paused_ = true;
    paused_at_us_ = now_us();
    if (following_ && !holding_) music_pause();
    frame_wait_restart();
}

void frame_clock::resume() {
    if (!paused_) return;
    paused_ = false;
    if (!following_) return;
    if (holding_) {
        // The music is still held: its start moves on by the pause.
        hold_zero_us_ += now_us() - paused_at_us_;
        return;
    }
    mp::reading r{};
    if (music_resume() && read(r)) {
        last_ = r;
        line_ = mp::start_line(now_us(), r);
    } else {
        following_ = false;
    }
}

// One line per frame, written when the frame ends: the tick the last update
// ran (ticks since the music started, lag included) against the music clock
// as read then, with the time its count was handed over.
void frame_clock::write_log_line(std::int64_t now, std::int64_t position_frames) {
    std::fprintf(log_, "%llu %lld %d %lld %lld %lld %llu %u %u %lld %lld\n", static_cast<unsigned long long>(frame_),
                 static_cast<long long>(now), following_ ? (paused_ ? 2 : 1) : 0,
                 static_cast<long long>(frame_updates_), static_cast<long long>(ticks_.done + ticks_.lag),
                 static_cast<long long>(ticks_.lag), static_cast<unsigned long long>(last_.frames),
                 last_.latency_frames, last_.rate, static_cast<long long>(position_frames),
                 static_cast<long long>(last_.handed_at_us));
}
