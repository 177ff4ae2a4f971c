#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "shell/music_pacing.hpp"

// The frame loop's clock. While the music plays, updates follow the music
// heard (several in a frame to catch up after a stall, none while ahead);
// otherwise (the demo, the title, a stream that cannot play) the wall-clock
// pacing runs one update a frame, as it always has.
//
// Two environment hooks serve the sync probe and cost nothing when unset:
// VELMORA_SYNC_LOG=FILE writes one line per frame (see write_log_line), and
// VELMORA_SYNC_STALL=TICK:MS[,TICK:MS...] blocks the frame loop for MS
// milliseconds once, when a run's tick count first reaches TICK.
//
// An alignment (-align=) earlier than the music's start would ask for ticks
// before the music's first frame: the clock then holds the music back for
// that long, the ticks running on the wall clock meanwhile, so the stage's
// first events are played rather than raced through or given up to the
// catch-up limit. Without an alignment the clock starts as it always has.
class frame_clock {
public:
    explicit frame_clock(int offset_ms, int align_ms = 0);
    ~frame_clock();
    frame_clock(const frame_clock&) = delete;
    frame_clock& operator=(const frame_clock&) = delete;

    // Updates to run in this frame: 1 on the wall clock, none while paused.
    std::int64_t updates_due();
    // After each update. False ends this frame's updates: the music has just
    // started or stopped, and the next frame counts in the new way.
    bool after_update();
    // After a catch-up's updates (a backlog, after a stall): sleeps until the
    // next update is due and gives the updates due then, 0 on the wall clock
    // or while paused. The backlog runs at once and takes a good part of a
    // frame itself; the frame is drawn as this next tick begins, like any
    // frame drawn on time, rather than the backlog's length behind the music.
    std::int64_t updates_at_next_tick();
    // End of the frame: sleeps as the clock in use says.
    void wait();

    // Freezes the updates and pauses the music; resume carries on in step.
    void pause();
    void resume();
    bool paused() const { return paused_; }

private:
    struct stall {
        std::int64_t tick;
        std::uint32_t ms;
    };

    bool read(music_pacing::reading& r) const;
    std::int64_t position(std::int64_t now_us);
    void write_log_line(std::int64_t now_us, std::int64_t position_frames);
    // Sleeps until the next update is due, at most max_wait_us.
    void sleep_until_due(std::int64_t now_us, std::int64_t position_frames);

    // The music started: held back first when the offset asks for ticks before it.
    bool start_following();
    // Ends the hold once its time is up: the music plays on from its start.
    void end_hold(std::int64_t now_us);

    int offset_ms_;
    bool hold_ = false;           // an alignment before the music's start: hold the music that long
    bool holding_ = false;        // the music waits, paused, while the first ticks run
    std::int64_t hold_zero_us_ = 0;  // wall time of tick 0 while holding
    std::int64_t paused_at_us_ = 0;
    bool following_ = false;  // the music plays and leads
    bool paused_ = false;
    music_pacing::heard_line line_{};
    music_pacing::ticks ticks_{};
    music_pacing::reading last_{};
    std::int64_t frame_updates_ = 0;
    music_pacing::work_lead lead_{};
    std::int64_t woke_us_ = 0;  // when the last wait ended
    std::uint64_t frame_ = 0;
    std::FILE* log_ = nullptr;
    std::vector<stall> stalls_;
};
