// Reads the game's sync log (VELMORA_SYNC_LOG) and reports how far the
// ticks stood from the music heard, frame by frame and in sum.
//
//   sync_report LOG [--offset-ms MS] [--frames]
//
// The music heard is rebuilt from the log in hindsight, independently of the
// game's own running estimate: the audio thread hands over one buffer at a
// time, each buffer plays from its hand-over on, and the log says when that
// was (handed_us, the audio thread's own clock). A log without it gives the
// first frame that shows a new count, drawn at most a frame after the
// hand-over; then fitting the sightings of the whole run (their mean pace,
// then the earliest of each buffer within a few buffers either side) gives
// the hand-overs. Only the first run of the log (from the music's start to
// its stop) is read.
//
// Prints, for each stall (a gap of more than 250 ms between two frames): its
// length, how long after it the ticks were back within one frame of the
// music, and the largest and 99th-percentile distance from then to the next
// stall or the end (over all stalls also the largest lateness alone: ticks
// behind the music rather than ahead of it); the same for the stretch before
// the first stall; the median distance of the ticks from the music, offset
// not counted; and the music position at which the first update ran. With
// --frames, every frame's distance as well.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct row {
    std::int64_t wall_us;
    std::int64_t handed_us;  // when `frames` were handed over, 0 if the log does not say
    std::int64_t updates;
    std::int64_t tick;  // ticks run since the music started
    std::int64_t frames;
    std::int64_t latency;
    std::int64_t rate;
};

constexpr double frame_ms = 1000.0 / 60.0;
constexpr std::int64_t stall_gap_us = 250000;
constexpr int window_buffers = 5;

struct stretch {
    std::size_t first;  // index of the first frame after the stall (or 0)
    std::size_t end;
    double gap_ms;
};

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    const std::size_t i = static_cast<std::size_t>(std::ceil(p * static_cast<double>(v.size()))) - 1;
    return v[std::min(i, v.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: sync_report LOG [--offset-ms MS] [--frames]\n");
        return 2;
    }
    double offset_ms = 0;
    bool list_frames = false;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--offset-ms") == 0 && i + 1 < argc) {
            offset_ms = std::atof(argv[++i]);
        } else if (std::strcmp(argv[i], "--frames") == 0) {
            list_frames = true;
        } else {
            std::fprintf(stderr, "sync_report: unknown option %s\n", argv[i]);
            return 2;
        }
    }
    std::ifstream in(argv[1]);
    if (!in) {
        std::fprintf(stderr, "sync_report: cannot read %s\n", argv[1]);
        return 1;
    }
    std::vector<row> rows;
    std::string line;
    std::getline(in, line);  // header
    bool started = false;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        long long frame, wall, following, updates, tick, lag, frames, latency, rate, position;
        if (!(f >> frame >> wall >> following >> updates >> tick >> lag >> frames >> latency >> rate >> position)) continue;
        long long handed = 0;
        if (!(f >> handed) || handed > wall) handed = 0;
        if (following != 1) {
            if (started) break;
            continue;
        }
        if (started && frames < rows.back().frames) break;  // a new run
        started = true;
        rows.push_back(row{wall, handed, updates, tick, frames, latency, rate});
    }
    if (rows.size() < 60 || rows.back().rate <= 0) {
        std::fprintf(stderr, "sync_report: fewer than 60 frames of music in %s\n", argv[1]);
        return 1;
    }
    const double rate = static_cast<double>(rows.back().rate);
    const double buffer = static_cast<double>(rows.back().latency);

    // The hand-over of each count, or its first sighting.
    std::map<std::int64_t, std::int64_t> seen;
    bool handed_times = true;
    for (const row& r : rows) {
        seen.emplace(r.frames, r.handed_us > 0 ? r.handed_us : r.wall_us);
        if (r.frames > 0 && r.handed_us == 0) handed_times = false;
    }
    std::vector<std::pair<double, double>> sightings;  // (frames, wall_us)
    for (const auto& [frames, wall] : seen)
        if (frames > 0) sightings.emplace_back(static_cast<double>(frames), static_cast<double>(wall));
    if (sightings.size() < 4) {
        std::fprintf(stderr, "sync_report: the music clock hardly moved\n");
        return 1;
    }
    // Mean pace: least squares of sighting time against frames.
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (const auto& [x, y] : sightings) {
        sx += x;
        sy += y;
        sxx += x * x;
        sxy += x * y;
    }
    const double n = static_cast<double>(sightings.size());
    const double us_per_frame = (n * sxy - sx * sy) / (n * sxx - sx * sx);
    // Each hand-over time: as logged, or the earliest sighting nearby
    // carried along the pace. Nearby in the music, not in the list: across a
    // stall the next entry is seconds away, and the mean pace carried that
    // far is off by milliseconds (the audio thread's pace wanders by a few
    // per mille).
    const double window_frames = window_buffers * buffer;
    std::vector<double> handed_at(sightings.size());
    for (std::size_t k = 0; k < sightings.size(); ++k) {
        double best = sightings[k].second;
        if (handed_times) {
            handed_at[k] = best;
            continue;
        }
        const std::size_t lo = k >= window_buffers ? k - window_buffers : 0;
        const std::size_t hi = std::min(sightings.size(), k + window_buffers + 1);
        for (std::size_t j = lo; j < hi; ++j)
            if (std::abs(sightings[j].first - sightings[k].first) <= window_frames)
                best = std::min(best, sightings[j].second - (sightings[j].first - sightings[k].first) * us_per_frame);
        handed_at[k] = best;
    }
    // Music heard (frames) at a wall time: the buffer handed over last plays
    // from its hand-over on, after the buffer before it.
    auto heard = [&](double wall_us) {
        std::size_t k = 0;
        while (k + 1 < handed_at.size() && handed_at[k + 1] <= wall_us) ++k;
        const double from = sightings[k].first - buffer;
        return std::min(from + (wall_us - handed_at[k]) / us_per_frame, sightings[k].first);
    };

    // Distance per frame: the last tick run (its time in the music, offset
    // added) minus the music heard, in milliseconds.
    std::vector<double> distance(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const double tick_ms = static_cast<double>(rows[i].tick - 1) * frame_ms + offset_ms;
        // Whatever the fit says, the music heard lies between what had been
        // handed over a buffer before the frame and what had been by then.
        const double at = std::clamp(heard(static_cast<double>(rows[i].wall_us)),
                                     static_cast<double>(rows[i].frames - rows[i].latency),
                                     static_cast<double>(rows[i].frames));
        distance[i] = rows[i].tick == 0 ? 0.0 : tick_ms - at * 1000.0 / rate;
        if (list_frames)
            std::printf("frame %zu wall_ms %.1f updates %lld tick %lld distance_ms %.2f\n", i,
                        static_cast<double>(rows[i].wall_us - rows[0].wall_us) / 1000.0,
                        static_cast<long long>(rows[i].updates), static_cast<long long>(rows[i].tick), distance[i]);
    }

    std::vector<stretch> stretches{{0, rows.size(), 0.0}};
    for (std::size_t i = 1; i < rows.size(); ++i) {
        if (rows[i].wall_us - rows[i - 1].wall_us > stall_gap_us) {
            stretches.back().end = i;
            stretches.push_back(stretch{i, rows.size(), static_cast<double>(rows[i].wall_us - rows[i - 1].wall_us) / 1000.0});
        }
    }
    // The first update waits for the music; the start counts from then on.
    std::size_t first_tick = 0;
    while (first_tick < rows.size() && rows[first_tick].tick == 0) ++first_tick;
    stretches.front().first = first_tick;

    std::vector<double> all_after;
    std::vector<double> on_time_after;  // frames that came at most 20 ms after the one before
    double late_after = 0;
    for (std::size_t s = 0; s < stretches.size(); ++s) {
        const stretch& st = stretches[s];
        std::size_t ok = st.first;
        while (ok < st.end && std::abs(distance[ok]) >= frame_ms) ++ok;
        std::vector<double> after;
        for (std::size_t i = ok; i < st.end; ++i) after.push_back(std::abs(distance[i]));
        const double back_ms =
            ok < st.end ? static_cast<double>(rows[ok].wall_us - rows[st.first].wall_us) / 1000.0 : -1.0;
        if (s == 0) {
            std::printf("start: frames %zu max_ms %.2f p99_ms %.2f\n", after.size(),
                        after.empty() ? 0.0 : *std::max_element(after.begin(), after.end()), percentile(after, 0.99));
        } else {
            std::printf("stall %zu: gap_ms %.0f caught_up_updates %lld back_within_frame_ms %.1f frames %zu max_ms %.2f p99_ms %.2f\n",
                        s, st.gap_ms, static_cast<long long>(rows[st.first].updates), back_ms, after.size(),
                        after.empty() ? 0.0 : *std::max_element(after.begin(), after.end()), percentile(after, 0.99));
            all_after.insert(all_after.end(), after.begin(), after.end());
            for (std::size_t i = ok; i < st.end; ++i) late_after = std::max(late_after, -distance[i]);
            for (std::size_t i = std::max<std::size_t>(ok, 1); i < st.end; ++i)
                if (rows[i].wall_us - rows[i - 1].wall_us <= 20000) on_time_after.push_back(std::abs(distance[i]));
        }
    }
    // Where the ticks stand against the music, offset not counted: the
    // median, which a hiccup of the machine does not move.
    std::vector<double> lead;
    for (std::size_t i = first_tick; i < rows.size(); ++i) lead.push_back(distance[i] - offset_ms);
    std::printf("music_pace_frames_per_s %.1f\n", 1e6 / us_per_frame);
    std::printf("median_tick_minus_music_ms %.2f\n", percentile(lead, 0.5));
    std::printf("first_update_music_ms %.1f\n", heard(static_cast<double>(rows[first_tick].wall_us)) * 1000.0 / rate);
    if (stretches.size() > 1)
        std::printf("after_stalls: frames %zu max_ms %.2f p99_ms %.2f max_late_ms %.2f\n", all_after.size(),
                    all_after.empty() ? 0.0 : *std::max_element(all_after.begin(), all_after.end()),
                    percentile(all_after, 0.99), late_after);
    // The same without the frames a busy machine held up: the error of the
    // pacing itself rather than of the scheduler.
    if (!on_time_after.empty())
        std::printf("after_stalls_on_time: frames %zu max_ms %.2f p99_ms %.2f\n", on_time_after.size(),
                    *std::max_element(on_time_after.begin(), on_time_after.end()), percentile(on_time_after, 0.99));
    return 0;
}
