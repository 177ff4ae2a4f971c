#include "converter/convert.hpp"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "converter/dynamics.hpp"
#include "converter/output_file.hpp"

namespace converter {

unsigned group_count(const wave_sample& source) { return std::min(source.info.chans, 2u); }

std::uint32_t whole_seconds(const wave_sample& source) {
    if (source.info.chans == 0 || source.info.freq == 0) return 0;
    return static_cast<std::uint32_t>((source.info.length / (2 * source.info.chans)) / source.info.freq);
}

namespace {

// Seconds analysed ahead of the writer, per thread: enough to keep every
// thread busy while the writer catches up, few enough that memory stays
// that of a handful of seconds' records.
constexpr unsigned seconds_in_flight_per_thread = 4;

// The records of one second of one channel, in the order they are written.
// Every record of a second fires before any of the next, so ordering each
// second on its own gives the group's whole order.
// `events` holds nothing else; `plan` is the dynamics edition's.
void analyse_second(const wave_sample& source, edition ed, const dynamics_plan* plan, analysis& an,
                    event_queue& events, unsigned group, std::uint32_t second) {
    auto earlier = [](const bullet_pattern_element& a, const bullet_pattern_element& b) { return a.time < b.time; };
    an.run(source.channel(group), second);
    append_bursts(events, an, ed, static_cast<std::int32_t>(second) * pattern::ticks_per_second,
                  static_cast<int>(group));
    if (plan) keep_strongest(events, *plan, group, second);
    std::stable_sort(events.begin(), events.end(), earlier);
}

void write_events(pattern::writer& writer, event_queue& events) {
    for (const bullet_pattern_element& e : events) writer.record(e);
    events.clear();
}

// The seconds of all groups, numbered in file order (group, then second),
// handed out to worker threads; the writer takes them back in that order.
// Second n is analysed into slot n % slots.size() once the writer has
// emptied that slot of second n - slots.size().
class parallel_analysis {
public:
    parallel_analysis(const wave_sample& source, edition ed, const dynamics_plan* plan, std::uint32_t seconds,
                      std::uint64_t jobs, unsigned threads)
        : source_(source), ed_(ed), plan_(plan), seconds_(seconds), jobs_(jobs),
          slots_(threads * seconds_in_flight_per_thread) {
        workers_.reserve(threads);
        try {
            for (unsigned t = 0; t < threads; ++t) workers_.emplace_back([this] { work(); });
        } catch (const std::system_error&) {
            // The system allows fewer threads: carry on with those started.
            if (workers_.empty()) throw;
        } catch (...) {
            stop();
            throw;
        }
    }
    ~parallel_analysis() { stop(); }
    parallel_analysis(const parallel_analysis&) = delete;
    parallel_analysis& operator=(const parallel_analysis&) = delete;

    // Waits for second `job` and gives its records; rethrows a worker's exception.
    event_queue& take(std::uint64_t job) {
        slot& s = slots_[job % slots_.size()];
        std::unique_lock<std::mutex> lock(mutex_);
        analysed_.wait(lock, [&] { return s.ready || failure_; });
        if (failure_) std::rethrow_exception(failure_);
        return s.events;
    }

    // The records of second `job` are written; its slot takes a later second.
    void release(std::uint64_t job) {
        slot& s = slots_[job % slots_.size()];
        {
            std::lock_guard<std::mutex> lock(mutex_);
            s.ready = false;
            written_ = job + 1;
        }
        freed_.notify_all();
    }

private:
    struct slot {
        event_queue events;
        bool ready = false;
    };

    void work() {
        try {
            // Its buffers are allocated here too: a failure to get them is
            // the caller's like any other of this thread's.
            analysis an;
            for (;;) {
                std::uint64_t job;
                {
                    std::unique_lock<std::mutex> lock(mutex_);
                    if (stopping_ || next_ >= jobs_) return;
                    job = next_++;
                    freed_.wait(lock, [&] { return stopping_ || job < written_ + slots_.size(); });
                    if (stopping_) return;
                }
                slot& s = slots_[job % slots_.size()];
                analyse_second(source_, ed_, plan_, an, s.events, static_cast<unsigned>(job / seconds_),
                               static_cast<std::uint32_t>(job % seconds_));
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    s.ready = true;
                }
                analysed_.notify_all();
            }
        } catch (...) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (!failure_) failure_ = std::current_exception();
                stopping_ = true;
            }
            analysed_.notify_all();
            freed_.notify_all();
        }
    }

    void stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        freed_.notify_all();
        for (std::thread& t : workers_) t.join();
        workers_.clear();
    }

    const wave_sample& source_;
    const edition ed_;
    const dynamics_plan* const plan_;
    const std::uint32_t seconds_;
    const std::uint64_t jobs_;
    std::vector<slot> slots_;
    std::vector<std::thread> workers_;

    std::mutex mutex_;
    std::condition_variable analysed_;  // a slot became ready, or a worker failed
    std::condition_variable freed_;     // the writer emptied a slot, or all must stop
    std::uint64_t next_ = 0;            // the next second to hand out
    std::uint64_t written_ = 0;         // seconds written so far
    bool stopping_ = false;
    std::exception_ptr failure_;
};

// The seconds analysed on the calling thread, one at a time.
class serial_analysis {
public:
    serial_analysis(const wave_sample& source, edition ed, const dynamics_plan* plan, std::uint32_t seconds)
        : source_(source), ed_(ed), plan_(plan), seconds_(seconds) {}
    event_queue& take(std::uint64_t job) {
        analyse_second(source_, ed_, plan_, an_, events_, static_cast<unsigned>(job / seconds_),
                       static_cast<std::uint32_t>(job % seconds_));
        return events_;
    }
    void release(std::uint64_t) {}

private:
    const wave_sample& source_;
    const edition ed_;
    const dynamics_plan* const plan_;
    const std::uint32_t seconds_;
    analysis an_;
    event_queue events_;
};

// Takes every second in file order from `analysed`: written as it comes,
// or kept until the stage is whole, for a capped difficulty to thin it and
// for the dynamics edition to finish it (finish_dynamics_stage).
template <class Seconds>
void write_seconds(Seconds& analysed, pattern::writer& writer, unsigned groups, std::uint32_t seconds,
                   const dynamics_plan* plan, difficulty d, const progress_fn& progress) {
    const stage_caps caps = caps_of(d);
    const bool whole = plan || caps.per_second != 0 || caps.in_flight != 0;
    stage_events stage(whole ? groups : 0);
    std::uint64_t job = 0;
    for (unsigned ch = 0; ch < groups; ++ch) {
        for (std::uint32_t s = 0; s < seconds; ++s, ++job) {
            event_queue& events = analysed.take(job);
            if (whole) {
                stage[ch].insert(stage[ch].end(), events.begin(), events.end());
                events.clear();
            } else {
                write_events(writer, events);
            }
            analysed.release(job);
            if (progress) progress(ch, s, seconds);
        }
        if (!whole) writer.terminator();
    }
    if (!whole) return;
    if (plan)
        finish_dynamics_stage(stage, *plan, d);
    else
        thin_stage(stage, caps);
    for (const auto& group : stage) {
        for (const bullet_pattern_element& e : group) writer.record(e);
        writer.terminator();
    }
}

}  // namespace

void write_pattern(const wave_sample& source, edition ed, difficulty d, pattern::sink& out,
                   const progress_fn& progress, unsigned threads) {
    pattern::writer writer(out);
    const unsigned groups = group_count(source);
    const std::uint32_t seconds = whole_seconds(source);
    const std::uint64_t jobs = static_cast<std::uint64_t>(groups) * seconds;
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    if (threads > jobs) threads = static_cast<unsigned>(std::max<std::uint64_t>(jobs, 1));

    // Measured whole, before any second, so that no thread count changes it.
    std::optional<dynamics_plan> plan;
    if (ed == edition::dynamics) plan = plan_dynamics(source);
    const dynamics_plan* const rule = plan ? &*plan : nullptr;

    writer.group_count(groups);
    if (threads == 1) {
        serial_analysis analysed(source, ed, rule, seconds);
        write_seconds(analysed, writer, groups, seconds, rule, d, progress);
    } else {
        parallel_analysis analysed(source, ed, rule, seconds, jobs, threads);
        write_seconds(analysed, writer, groups, seconds, rule, d, progress);
    }
}

void write_pattern(const wave_sample& source, edition ed, difficulty d, pattern::sink& out, console& con,
                   unsigned threads) {
    write_pattern(
        source, ed, d, out,
        [&con](unsigned group, std::uint32_t second, std::uint32_t seconds) {
            con.line(std::to_string(second + 1) + " / " + std::to_string(seconds) + " : " +
                     std::to_string(group + 1) + " / 2");
        },
        threads);
}

bool convert(const wave_sample& source, const std::string& output_path, edition ed, difficulty d, console& con,
             unsigned threads) {
    output_file out(output_path);
    if (!out.created()) {
        con.message(messages::output_not_created);
        return false;
    }
    write_pattern(source, ed, d, out, con, threads);
    if (!out.commit()) {
        con.message(messages::output_not_written);
        return false;
    }
    return true;
}

}  // namespace converter
