#include "shell/music_pacing.hpp"

#include <algorithm>

namespace music_pacing {

namespace {

std::int64_t frames_to_us(std::int64_t frames, std::uint32_t rate) {
    return frames * us_per_second / static_cast<std::int64_t>(rate);
}

// Floor division, also for the negative positions before the first frame is heard.
std::int64_t floor_div(std::int64_t a, std::int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

}  // namespace

heard_line start_line(std::int64_t now_us, const reading& r) {
    const std::int64_t heard = static_cast<std::int64_t>(r.frames) - r.latency_frames;
    return heard_line{now_us - frames_to_us(heard, r.rate), r.rate, now_us};
}

heard_line observe(const heard_line& line, std::int64_t now_us, const reading& r) {
    if (r.rate != line.rate) return start_line(now_us, r);
    // Everything handed over a buffer ago has been heard, and since the last
    // hand-over the buffer before it has played on; nothing not yet handed
    // over can have been.
    const std::int64_t at_most = static_cast<std::int64_t>(r.frames);
    std::int64_t at_least = at_most - r.latency_frames;
    if (r.handed_at_us >= line.since_us && r.handed_at_us > 0 && now_us > r.handed_at_us)
        at_least = std::min(at_most, at_least + (now_us - r.handed_at_us) * r.rate / us_per_second);
    const std::int64_t now = heard_frames(line, now_us);
    if (now < at_least) return heard_line{now_us - frames_to_us(at_least, r.rate), r.rate, line.since_us};
    if (now > at_most) return heard_line{now_us - frames_to_us(at_most, r.rate), r.rate, line.since_us};
    return line;
}

std::int64_t heard_frames(const heard_line& line, std::int64_t now_us) {
    return floor_div((now_us - line.zero_us) * static_cast<std::int64_t>(line.rate), us_per_second);
}

std::int64_t ticks_due(std::int64_t position_frames, std::uint32_t rate) {
    if (position_frames < 0) return 0;
    return position_frames * ticks_per_second / static_cast<std::int64_t>(rate) + 1;
}

plan updates_for(ticks& t, std::int64_t position_frames, std::uint32_t rate) {
    const std::int64_t behind = ticks_due(position_frames, rate) - t.lag - t.done;
    if (behind <= 0) return plan{0, false};
    if (behind > catch_up_limit_ticks) {
        t.lag += behind - 1;
        return plan{1, true};
    }
    return plan{behind, false};
}

std::int64_t wait_us(const ticks& t, std::int64_t position_frames, std::uint32_t rate) {
    // The first frame of the next tick, rounded up.
    const std::int64_t next = t.done + t.lag;
    const std::int64_t due_frames = (next * rate + ticks_per_second - 1) / ticks_per_second;
    if (position_frames >= due_frames) return 0;
    const std::int64_t us = ((due_frames - position_frames) * us_per_second + rate - 1) / rate;
    return std::min(us, max_wait_us);
}

std::int64_t work_lead::add(std::int64_t work_us) {
    work_[next_] = std::clamp<std::int64_t>(work_us, 0, max_lead_us);
    next_ = (next_ + 1) % kept;
    if (count_ < kept) ++count_;
    std::int64_t sorted[kept];
    std::copy(work_, work_ + count_, sorted);
    std::nth_element(sorted, sorted + count_ / 2, sorted + count_);
    lead_us_ = sorted[count_ / 2];
    return lead_us_;
}

std::int64_t offset_frames(int offset_ms, std::uint32_t rate) {
    return floor_div(static_cast<std::int64_t>(offset_ms) * rate, 1000);
}

}  // namespace music_pacing
