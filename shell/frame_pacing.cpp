#include "shell/frame_pacing.hpp"

#include <SDL.h>

#include <cstdint>

namespace pacing {

step end_frame(const state& s, std::uint32_t now_ms) {
    if (!s.anchored) return step{state{true, now_ms, 0}, 0};

    state next = s;
    ++next.frame;
    const std::uint32_t deadline = next.anchor_ms + deadline_offset_ms(next.frame);
    if (next.frame == updates_per_second) {
        next.anchor_ms += ms_per_second;
        next.frame = 0;
    }
    // Signed distance, so that the counter's wrap-around is harmless.
    const auto late = static_cast<std::int32_t>(now_ms - deadline);
    if (late < 0) return step{next, static_cast<std::uint32_t>(-static_cast<std::int64_t>(late))};
    if (static_cast<std::uint32_t>(late) > stall_limit_ms) return step{state{true, now_ms, 0}, 0};
    return step{next, 0};
}

}  // namespace pacing

namespace {
pacing::state frame_pacing_state;
}

void frame_wait() {
    const pacing::step st = pacing::end_frame(frame_pacing_state, SDL_GetTicks());
    frame_pacing_state = st.next;
    if (st.delay_ms > 0) SDL_Delay(st.delay_ms);
}

void frame_wait_restart() { frame_pacing_state = pacing::state{true, SDL_GetTicks(), 0}; }

void frame_wait_reset() { frame_pacing_state = pacing::state{}; }
