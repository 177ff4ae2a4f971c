#include "converter/convert.hpp"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
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

// Seconds of samples held at once, per analysis thread: enough to keep every
// thread busy while the next second is decoded and the writer catches up,
// few enough that memory stays that of a handful of seconds.
constexpr unsigned seconds_in_flight_per_thread = 2;
constexpr unsigned most_seconds_in_flight = 64;

bool earlier(const bullet_pattern_element& a, const bullet_pattern_element& b) { return a.time < b.time; }

// Takes the analysed seconds in the order they arrive (second, then group)
// and writes the stage in file order (group, then second). A group's
// records are made from its bursts as it is written: the first group's at
// once where nothing else has to be known first, the others' (all of them
// for the dynamics edition, which needs the whole song's plan) kept as
// bursts until the last second has come.
class stage_writer {
public:
    stage_writer(pattern::writer& writer, edition ed, unsigned groups, difficulty d, const progress_fn& progress,
                 bool plan_first)
        : writer_(writer), ed_(ed), groups_(groups), difficulty_(d), caps_(caps_of(d)), progress_(progress),
          whole_(plan_first || caps_.per_second != 0 || caps_.in_flight != 0), stage_(whole_ ? groups : 0),
          kept_(groups), first_at_once_(!plan_first) {}

    // `known_seconds`: the song's whole seconds when known before its end, for the progress report.
    void set_known_seconds(std::uint32_t seconds) { known_seconds_ = seconds; }

    void take(unsigned group, std::uint32_t second, const std::vector<burst>& bursts) {
        if (group == 0 && first_at_once_) {
            write_second(0, second, bursts.data(), bursts.data() + bursts.size(), nullptr);
            ++first_written_;
            if (known_seconds_ != 0 && progress_) progress_(0, second, known_seconds_);
            return;
        }
        kept& k = kept_[group];
        k.bursts.insert(k.bursts.end(), bursts.begin(), bursts.end());
        k.ends.push_back(k.bursts.size());
    }

    // Every second has come: the rest of the stage in file order.
    void finish(std::uint32_t seconds, const dynamics_plan* plan) {
        if (plan) slots_ = plan_threats(*plan, difficulty_);
        for (unsigned g = 0; g < groups_; ++g) {
            if (g == 0 && first_at_once_) {
                if (known_seconds_ == 0 && progress_)
                    for (std::uint32_t s = 0; s < first_written_; ++s) progress_(0, s, seconds);
            } else {
                kept& k = kept_[g];
                for (std::uint32_t s = 0; s < seconds; ++s) {
                    second_bursts_.assign(k.bursts.begin() + static_cast<std::ptrdiff_t>(s == 0 ? 0 : k.ends[s - 1]),
                                          k.bursts.begin() + static_cast<std::ptrdiff_t>(k.ends[s]));
                    write_second(g, s, second_bursts_.data(), second_bursts_.data() + second_bursts_.size(), plan);
                    if (progress_) progress_(g, s, seconds);
                }
                std::deque<burst>().swap(k.bursts);
            }
            if (!whole_) writer_.terminator();
        }
        if (!whole_) return;
        if (plan) {
            repeat_flights(stage_, slots_);
            finish_dynamics_stage(stage_, difficulty_);
        } else {
            thin_stage(stage_, caps_);
        }
        for (const auto& group : stage_) {
            for (const bullet_pattern_element& e : group) writer_.record(e);
            writer_.terminator();
        }
    }

private:
    // In blocks that never move: growing it copies nothing and touches no
    // more memory than it holds.
    struct kept {
        std::deque<burst> bursts;
        std::vector<std::size_t> ends;  // where each second's bursts end
    };

    // The records of one second of one channel, in the order they are
    // written. Every record of a second fires before any of the next, so
    // ordering each second on its own gives the group's whole order.
    void write_second(unsigned group, std::uint32_t second, const burst* first, const burst* last,
                      const dynamics_plan* plan) {
        events_.clear();
        append_bursts(events_, first, last, ed_, static_cast<std::int32_t>(second) * pattern::ticks_per_second,
                      static_cast<int>(group));
        if (plan) place_threats(events_, slots_[group], group, second);
        order_by_time(static_cast<std::int32_t>(second) * pattern::ticks_per_second);
        if (whole_) {
            stage_[group].insert(stage_[group].end(), events_.begin(), events_.end());
        } else {
            for (const bullet_pattern_element& e : events_) writer_.record(e);
        }
        events_.clear();
    }

    // A stable sort by time, as std::stable_sort orders them: records of one
    // second lie on its 60 ticks, so a counting sort does it in one pass.
    void order_by_time(std::int32_t base) {
        std::array<std::uint32_t, pattern::ticks_per_second + 1> start{};
        for (const bullet_pattern_element& e : events_) {
            const std::int64_t tick = static_cast<std::int64_t>(e.time) - base;
            if (tick < 0 || tick >= pattern::ticks_per_second) {
                std::stable_sort(events_.begin(), events_.end(), earlier);
                return;
            }
            ++start[static_cast<std::size_t>(tick) + 1];
        }
        for (std::size_t t = 1; t < start.size(); ++t) start[t] += start[t - 1];
        sorted_.resize(events_.size());
        for (const bullet_pattern_element& e : events_) sorted_[start[static_cast<std::size_t>(e.time - base)]++] = e;
        std::copy(sorted_.begin(), sorted_.end(), events_.begin());
    }

    pattern::writer& writer_;
    const edition ed_;
    const unsigned groups_;
    const difficulty difficulty_;
    const stage_caps caps_;
    const progress_fn& progress_;
    // The whole stage is kept until the end: to thin it for a capped
    // difficulty, or for the dynamics edition to finish it.
    const bool whole_;
    stage_events stage_;
    dynamics_slots slots_;  // the dynamics edition's threats, per group
    std::vector<kept> kept_;
    const bool first_at_once_;
    std::uint32_t known_seconds_ = 0;
    std::uint32_t first_written_ = 0;
    std::vector<burst> second_bursts_;
    std::vector<bullet_pattern_element> sorted_;
    event_queue events_;
};

// The song second by second, read into a ring of seconds while the seconds
// already there are analysed, each channel-second as a job of its own. The
// calling thread reads (decodes) the source and writes the stage, and
// analyses whenever the ring is full instead of waiting; `threads` - 1
// workers analyse beside it, so that `threads` threads share the cores and
// no core waits on another thread's wake-up. Second s is read into slot
// s % slots once the writer has taken second s - slots.
class streaming_analysis {
public:
    streaming_analysis(sample_stream& source, edition ed, unsigned groups, unsigned threads,
                       std::uint32_t most_seconds, dynamics_meter* meter, stage_writer& writer)
        : source_(source), ed_(ed), channels_(source.channels()), groups_(groups),
          most_seconds_(most_seconds), meter_(meter), writer_(writer),
          slot_count_(threads == 1 ? 1 : std::min(threads * seconds_in_flight_per_thread, most_seconds_in_flight)),
          second_values_(static_cast<std::size_t>(sample_rate) * channels_),
          samples_(slot_count_ * second_values_), analysed_count_(slot_count_, 0),
          bursts_(static_cast<std::size_t>(slot_count_) * groups_) {
        inline_analysis_.reset(new analysis);
        if (threads == 1) return;
        workers_.reserve(threads - 1);
        try {
            for (unsigned t = 1; t < threads; ++t) workers_.emplace_back([this] { work(); });
        } catch (const std::system_error&) {
            // The system allows fewer threads: carry on with those started.
            if (workers_.empty()) throw;
        } catch (...) {
            stop();
            throw;
        }
    }
    ~streaming_analysis() { stop(); }
    streaming_analysis(const streaming_analysis&) = delete;
    streaming_analysis& operator=(const streaming_analysis&) = delete;

    // Reads, analyses and hands every whole second to the writer; the seconds read.
    std::uint32_t run() {
        bool ended = false;
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            // The analysed seconds, in order, to the writer.
            while (taken_ < read_ && analysed_count_[taken_ % slot_count_] == groups_) {
                const std::size_t slot = taken_ % slot_count_;
                lock.unlock();
                for (unsigned g = 0; g < groups_; ++g) writer_.take(g, taken_, bursts_[slot * groups_ + g]);
                lock.lock();
                analysed_count_[slot] = 0;
                ++taken_;
            }
            if (!ended && read_ < taken_ + slot_count_) {
                lock.unlock();
                const std::size_t slot = read_ % slot_count_;
                const bool whole = read_ < most_seconds_ && read_second(&samples_[slot * second_values_]);
                if (whole && meter_) meter_->add_second(&samples_[slot * second_values_]);
                if (!whole) read_rest();
                lock.lock();
                if (whole) {
                    ++read_;
                } else {
                    ended = ended_ = true;
                }
                lock.unlock();
                work_ready_.notify_all();
                lock.lock();
                continue;
            }
            if (ended && taken_ == read_) return read_;
            if (failure_) std::rethrow_exception(failure_);
            if (next_job_ < static_cast<std::uint64_t>(read_) * groups_) {
                const std::uint64_t job = next_job_++;
                lock.unlock();
                analyse(*inline_analysis_, job);
                lock.lock();
                ++analysed_count_[(job / groups_) % slot_count_];
                continue;
            }
            analysed_.wait(lock, [&] { return failure_ || analysed_count_[taken_ % slot_count_] == groups_; });
            if (failure_) std::rethrow_exception(failure_);
        }
    }

private:
    // One whole second into `out`; false at the end (the part of a second there is then dropped).
    bool read_second(std::int16_t* out) {
        std::size_t got = 0;
        while (got < sample_rate) {
            const std::size_t n = source_.read(out + got * channels_, sample_rate - got);
            if (n == 0) return false;
            got += n;
        }
        return true;
    }

    // What follows the last whole second is never analysed, but it is read,
    // so a source damaged there is refused all the same.
    void read_rest() {
        std::int16_t* scratch = samples_.data() + (read_ % slot_count_) * second_values_;
        while (source_.read(scratch, sample_rate) != 0) {
        }
    }

    void analyse(analysis& an, std::uint64_t job) {
        const std::uint32_t second = static_cast<std::uint32_t>(job / groups_);
        const unsigned group = static_cast<unsigned>(job % groups_);
        const std::size_t slot = second % slot_count_;
        an.run({&samples_[slot * second_values_], sample_rate, channels_, group}, 0);
        collect_bursts(an, ed_, bursts_[slot * groups_ + group]);
    }

    void work() {
        try {
            // Its buffers are allocated here too, with its first second (a
            // short song leaves some threads without any): a failure to get
            // them is the caller's like any other of this thread's.
            std::unique_ptr<analysis> an;
            for (;;) {
                std::uint64_t job;
                {
                    std::unique_lock<std::mutex> lock(mutex_);
                    work_ready_.wait(lock, [&] { return stopping_ || ended_ || next_job_ < read_ * groups_; });
                    if (stopping_ || next_job_ >= read_ * groups_) return;
                    job = next_job_++;
                }
                if (!an) an.reset(new analysis);
                analyse(*an, job);
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    ++analysed_count_[(job / groups_) % slot_count_];
                }
                analysed_.notify_one();
            }
        } catch (...) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (!failure_) failure_ = std::current_exception();
                stopping_ = true;
            }
            analysed_.notify_all();
            work_ready_.notify_all();
        }
    }

    void stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        work_ready_.notify_all();
        for (std::thread& t : workers_) t.join();
        workers_.clear();
    }

    sample_stream& source_;
    const edition ed_;
    const unsigned channels_;
    const unsigned groups_;
    const std::uint32_t most_seconds_;
    dynamics_meter* const meter_;
    stage_writer& writer_;
    const std::size_t slot_count_;
    const std::size_t second_values_;
    std::vector<std::int16_t> samples_;        // slot after slot, each one second of interleaved values
    std::vector<unsigned> analysed_count_;     // per slot: its groups analysed
    std::vector<std::vector<burst>> bursts_;   // per slot and group
    std::unique_ptr<analysis> inline_analysis_;
    std::vector<std::thread> workers_;

    std::mutex mutex_;
    std::condition_variable work_ready_;  // a second was read, the source ended, or all must stop
    std::condition_variable analysed_;    // a job is done, or a worker failed
    std::uint64_t next_job_ = 0;          // second * groups + group: the next to hand out
    std::uint32_t read_ = 0;              // whole seconds read
    std::uint32_t taken_ = 0;             // seconds handed to the writer
    bool ended_ = false;                  // no more seconds will be read
    bool stopping_ = false;
    std::exception_ptr failure_;
};

}  // namespace

void write_pattern(sample_stream& source, edition ed, difficulty d, pattern::sink& out, const progress_fn& progress,
                   unsigned threads) {
    pattern::writer writer(out);
    const unsigned chans = source.channels();
    if (chans == 0 || source.rate() == 0) throw std::invalid_argument("write_pattern: a source without channels or rate");
    const unsigned groups = std::min(chans, 2u);
    // Known before the end for most sources; an MPEG file tells only at its end.
    const std::uint64_t known_frames = source.frames();
    const std::uint64_t whole = known_frames / source.rate();
    const std::uint32_t most_seconds = known_frames == 0 ? UINT32_MAX : static_cast<std::uint32_t>(whole);
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    if (known_frames != 0 && threads > static_cast<std::uint64_t>(groups) * whole)
        threads = static_cast<unsigned>(std::max<std::uint64_t>(static_cast<std::uint64_t>(groups) * whole, 1));

    // The dynamics edition measures the song as it goes; its plan is known
    // only after the last second, so its records are made then.
    std::optional<dynamics_meter> meter;
    if (ed == edition::dynamics) meter.emplace(chans);

    writer.group_count(groups);
    stage_writer stage(writer, ed, groups, d, progress, meter.has_value());
    if (known_frames != 0) stage.set_known_seconds(most_seconds);
    std::uint32_t seconds;
    {
        streaming_analysis analysed(source, ed, groups, threads, most_seconds, meter ? &*meter : nullptr, stage);
        seconds = analysed.run();
    }
    std::optional<dynamics_plan> plan;
    if (meter) plan = meter->finish();
    stage.finish(seconds, plan ? &*plan : nullptr);
}

void write_pattern(const wave_sample& source, edition ed, difficulty d, pattern::sink& out,
                   const progress_fn& progress, unsigned threads) {
    if (source.info.chans == 0 || source.info.freq == 0) {
        // Nothing to read: the count byte alone, as before.
        pattern::writer writer(out);
        writer.group_count(group_count(source));
        return;
    }
    memory_stream stream(source);
    write_pattern(stream, ed, d, out, progress, threads);
}

void write_pattern(sample_stream& source, edition ed, difficulty d, pattern::sink& out, console& con,
                   unsigned threads) {
    write_pattern(
        source, ed, d, out,
        [&con](unsigned group, std::uint32_t second, std::uint32_t seconds) {
            con.line(std::to_string(second + 1) + " / " + std::to_string(seconds) + " : " +
                     std::to_string(group + 1) + " / 2");
        },
        threads);
}

bool convert(sample_stream& source, const std::string& output_path, edition ed, difficulty d, console& con,
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

void write_pattern(const wave_sample& source, edition ed, difficulty d, pattern::sink& out, console& con,
                   unsigned threads) {
    memory_stream stream(source);
    write_pattern(stream, ed, d, out, con, threads);
}

bool convert(const wave_sample& source, const std::string& output_path, edition ed, difficulty d, console& con,
             unsigned threads) {
    memory_stream stream(source);
    return convert(stream, output_path, ed, d, con, threads);
}

}  // namespace converter
