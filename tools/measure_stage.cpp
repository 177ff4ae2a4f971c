// measure_stage: how a stage follows its music.
//   measure_stage MUSIC STAGE [--silence FROM TO] [--quiet FROM TO --loud FROM TO] [--per-second]
//                 [--onsets FILE [--misses] [--beats FILE]] [--repeats]
//     events, the Spearman correlation of events per second with the music's
//     short-term loudness, the music's loudness range, the events inside a
//     silence, and the rate of a quiet passage against a loud one (FROM and TO in seconds), each also
//     for the arrivals below
//     and where the danger arrives: each event's bullet back at the
//     playfield's centre, its best shift against the music's loudness per 0.1 s,
//     its Spearman correlation per second with the loudness, those in digital
//     silence and the last; with the onsets an outside detector found (FILE:
//     one time in seconds a line), the share of arrivals within 25 ms of one
//     against chance (the share of the music that lies so near one) and the
//     share of onsets that carry an arrival; with --repeats, the bars the
//     dynamics edition finds repeated in the music and the share of their
//     arrivals that fly as the same place of the first bar did (group,
//     angle and speed); with --misses, which of the dynamics edition's
//     moments (onsets, streams and pulses, drops, repeats) the arrivals
//     stand for and the share of each near an outside onset, how many of
//     the edition's onsets carry a threat and the share of outside onsets
//     near one of them (and near one carrying), and how far the outside
//     onset nearest each of the edition's own lies; with --beats
//     (FILE: the beats an outside tracker found, one time a line), the share
//     of them within 25 ms of an onset, and whether the music has a clear
//     beat: at least 0.6 of its beats are heard as onsets (a tracker also
//     reports beats in music with none, at chance among the onsets)
//   measure_stage --compare STAGE OTHER
//     both stages' events and the Pearson correlation of their events per second
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include <algorithm>

#include "converter/dynamics.hpp"
#include "tools/measure/stage_measure.hpp"

namespace {

// A clear beat: this share of the beats an outside tracker reports lie
// within 25 ms of an outside onset. On the pieces measured the shares fall
// in two groups, 0.69 to 0.98 and 0.03 to 0.51.
constexpr double clear_beat = 0.6;

// How far apart the music's loud and quiet parts lie: EBU R128's loudness
// range (the 10th to the 95th percentile of the short-term loudness, gated
// at -70 LUFS and 20 LU below the gated mean), of one value a second.
double loudness_range(const std::vector<double>& short_term) {
    std::vector<double> heard;
    double power = 0.0;
    for (double l : short_term)
        if (l > -70.0) {
            heard.push_back(l);
            power += std::pow(10.0, l / 10.0);
        }
    if (heard.empty()) return 0.0;
    const double gate = 10.0 * std::log10(power / static_cast<double>(heard.size())) - 20.0;
    heard.erase(std::remove_if(heard.begin(), heard.end(), [gate](double l) { return l <= gate; }), heard.end());
    std::sort(heard.begin(), heard.end());
    auto at = [&](double q) { return heard[static_cast<std::size_t>(std::lround(q * static_cast<double>(heard.size() - 1)))]; };
    return at(0.95) - at(0.10);
}

int usage() {
    std::fprintf(stderr,
                 "usage: measure_stage MUSIC STAGE [--silence FROM TO] [--quiet FROM TO --loud FROM TO] [--per-second]\n"
                 "                     [--onsets FILE [--misses] [--beats FILE]] [--repeats]\n"
                 "       measure_stage --compare STAGE OTHER\n");
    return 2;
}

bool number(const char* text, double& out) {
    errno = 0;
    char* end = nullptr;
    out = std::strtod(text, &end);
    return errno == 0 && end != text && *end == '\0' && std::isfinite(out);
}

struct range {
    bool given = false;
    double from = 0.0, to = 0.0;
};

std::uint32_t seconds_of(const stage_measure::groups& stage) {
    std::int64_t last = -1;
    for (const auto& g : stage)
        for (const auto& e : g) last = std::max<std::int64_t>(last, e.time);
    return static_cast<std::uint32_t>(last / 60 + 1);
}

// Times in seconds, one a line (what an onset detector prints), ascending.
bool read_times(const char* path, std::vector<double>& out) {
    std::FILE* f = std::fopen(path, "r");
    if (!f) return false;
    double t;
    while (std::fscanf(f, "%lf", &t) == 1) out.push_back(t);
    const bool ok = std::feof(f) != 0;
    std::fclose(f);
    std::sort(out.begin(), out.end());
    return ok;
}

int compare(const std::string& a_path, const std::string& b_path) {
    const auto a = stage_measure::read_stage(a_path), b = stage_measure::read_stage(b_path);
    if (!a || !b) {
        std::fprintf(stderr, "measure_stage: %s is not a pattern file\n", (!a ? a_path : b_path).c_str());
        return 1;
    }
    const std::uint32_t seconds = std::max(seconds_of(*a), seconds_of(*b));
    const auto pa = stage_measure::events_per_second(*a, seconds), pb = stage_measure::events_per_second(*b, seconds);
    double na = 0.0, nb = 0.0;
    for (double v : pa) na += v;
    for (double v : pb) nb += v;
    std::printf("events: %.0f and %.0f (%+.1f%%)\n", na, nb, na > 0.0 ? 100.0 * (nb - na) / na : 0.0);
    std::printf("correlation of events per second: %.3f over %u s\n", stage_measure::pearson(pa, pb), seconds);
    return 0;
}

// The repeated bars as the dynamics edition hears them, and how many of
// their arrivals fly as the first time.
void print_repeats(const stage_measure::music& music, const stage_measure::groups& stage) {
    const converter::wave_sample source(44100, music.channels, music.values);
    const converter::dynamics_plan plan = converter::plan_dynamics(source);
    std::vector<stage_measure::bar_repeat> bars;
    double ticks = 0.0;
    for (const converter::dynamics_repeat& r : plan.repeats) {
        bars.push_back({r.from, r.length, r.first});
        ticks += r.length;
    }
    const auto m = stage_measure::repeated_flights(stage, bars, 2);
    std::printf("repeated bars %zu (%.0f%% of the music): threats flying as the first time %.3f (%zu of %zu)\n",
                bars.size(), plan.seconds > 0 ? 100.0 * ticks / (plan.seconds * 60.0) : 0.0,
                m.arrivals > 0 ? static_cast<double>(m.matching) / static_cast<double>(m.arrivals) : 0.0, m.matching,
                m.arrivals);
}

// Which of the edition's moments the arrivals stand for, and how many of
// each lie near an outside onset; and how far the edition's onsets lie from
// the outside detector's nearest, so that a steady offset shows.
void print_misses(const stage_measure::music& music, const std::vector<std::int64_t>& arrivals,
                  const std::vector<double>& onsets) {
    const converter::wave_sample source(44100, music.channels, music.values);
    const converter::dynamics_plan plan = converter::plan_dynamics(source);
    auto nearest = [&](double t) {
        const auto it = std::lower_bound(onsets.begin(), onsets.end(), t);
        double best = 1e9;
        if (it != onsets.end()) best = *it - t;
        if (it != onsets.begin() && t - *(it - 1) < std::fabs(best)) best = *(it - 1) - t;
        return best;
    };
    const char* names[] = {"onset", "stream or pulse", "drop", "repeat"};
    std::size_t count[4] = {}, near[4] = {};
    for (std::int64_t a : arrivals) {
        const auto it = std::lower_bound(plan.moments.begin(), plan.moments.end(), a,
                                         [](const converter::dynamics_moment& m, std::int64_t t) { return m.tick < t; });
        if (it == plan.moments.end() || it->tick != a) continue;
        const std::size_t k = it->echo >= 0 ? 3 : static_cast<std::size_t>(it->kind);
        ++count[k];
        near[k] += std::fabs(nearest(static_cast<double>(a) / pattern::ticks_per_second)) <= 0.025;
    }
    for (std::size_t k = 0; k < 4; ++k)
        std::printf("arrivals on a%s %s: %zu, near an onset %.3f\n", k == 0 ? "n" : "", names[k], count[k],
                    count[k] ? static_cast<double>(near[k]) / static_cast<double>(count[k]) : 0.0);
    // Of the edition's onsets, how many carry a threat; and how many outside
    // onsets lie near one of ours at all, the most a stage could reach on
    // its onsets alone.
    std::vector<double> ours, carrying;
    for (const converter::dynamics_moment& m : plan.moments) {
        if (m.kind == converter::dynamics_moment::stream) continue;
        const double t = static_cast<double>(m.tick) / pattern::ticks_per_second;
        ours.push_back(t);
        if (std::binary_search(arrivals.begin(), arrivals.end(), static_cast<std::int64_t>(m.tick)))
            carrying.push_back(t);
    }
    auto reached = [&](const std::vector<double>& by) {
        std::size_t n = 0;
        for (double o : onsets) {
            const auto it = std::lower_bound(by.begin(), by.end(), o - 0.025);
            n += it != by.end() && *it <= o + 0.025;
        }
        return onsets.empty() ? 0.0 : static_cast<double>(n) / static_cast<double>(onsets.size());
    };
    std::printf("onsets of ours %zu, carrying a threat %zu; outside onsets near one of ours %.3f, near one carrying %.3f\n",
                ours.size(), carrying.size(), reached(ours), reached(carrying));
    // The outside onset nearest each of the edition's, in 5 ms steps.
    std::vector<std::size_t> steps(21, 0);
    for (const converter::dynamics_moment& m : plan.moments) {
        if (m.kind == converter::dynamics_moment::stream) continue;
        const double off = nearest(static_cast<double>(m.tick) / pattern::ticks_per_second);
        if (std::fabs(off) <= 0.0525) ++steps[static_cast<std::size_t>(std::lround(off / 0.005) + 10)];
    }
    std::printf("outside onset nearest an onset of ours, ms:");
    for (std::size_t i = 0; i < steps.size(); ++i) std::printf(" %+d:%zu", (static_cast<int>(i) - 10) * 5, steps[i]);
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--compare") == 0) return compare(argv[2], argv[3]);
    if (argc < 3) return usage();
    range silence, quiet, loud;
    bool per_second = false, repeats = false, misses = false;
    const char* onsets_path = nullptr;
    const char* beats_path = nullptr;
    for (int i = 3; i < argc; ++i) {
        if (std::strcmp(argv[i], "--onsets") == 0 && i + 1 < argc) {
            onsets_path = argv[++i];
            continue;
        }
        if (std::strcmp(argv[i], "--beats") == 0 && i + 1 < argc) {
            beats_path = argv[++i];
            continue;
        }
        range* r = std::strcmp(argv[i], "--silence") == 0 ? &silence
                   : std::strcmp(argv[i], "--quiet") == 0  ? &quiet
                   : std::strcmp(argv[i], "--loud") == 0   ? &loud
                                                           : nullptr;
        if (std::strcmp(argv[i], "--per-second") == 0) {
            per_second = true;
        } else if (std::strcmp(argv[i], "--repeats") == 0) {
            repeats = true;
        } else if (std::strcmp(argv[i], "--misses") == 0) {
            misses = true;
        } else if (r && i + 2 < argc && number(argv[i + 1], r->from) && number(argv[i + 2], r->to) && r->from < r->to) {
            r->given = true;
            i += 2;
        } else {
            return usage();
        }
    }
    if (quiet.given != loud.given || ((misses || beats_path) && !onsets_path)) return usage();

    const auto music = stage_measure::read_music(argv[1]);
    if (!music) {
        std::fprintf(stderr, "measure_stage: cannot read %s as 44100 Hz music\n", argv[1]);
        return 1;
    }
    const auto stage = stage_measure::read_stage(argv[2]);
    if (!stage) {
        std::fprintf(stderr, "measure_stage: %s is not a pattern file\n", argv[2]);
        return 1;
    }
    const auto loudness = stage_measure::short_term_loudness(music->values, music->channels);
    const auto events = stage_measure::events_per_second(*stage, static_cast<std::uint32_t>(loudness.size()));
    double total = 0.0;
    for (double v : events) total += v;
    if (per_second)
        for (std::size_t s = 0; s < events.size(); ++s)
            std::printf("second %zu: %.0f events, short-term loudness %.1f LUFS\n", s, events[s], loudness[s]);
    std::printf("events: %.0f over %zu s (%.1f per second)\n", total, events.size(),
                events.empty() ? 0.0 : total / static_cast<double>(events.size()));
    std::printf("spearman(events per second, short-term loudness): %.3f\n", stage_measure::spearman(events, loudness));
    std::printf("loudness range %.1f LU\n", loudness_range(loudness));
    // Where the danger is: each event's bullet back at the centre.
    const auto arrivals = stage_measure::arrival_ticks(*stage);
    const auto arrivals_per_second =
        stage_measure::count_per_bin(arrivals, loudness.size(), pattern::ticks_per_second);
    const auto level = stage_measure::loudness_per_tenth(music->values, music->channels);
    const auto arrivals_per_tenth = stage_measure::count_per_bin(arrivals, level.size(), pattern::ticks_per_second / 10);
    std::printf("arrivals (bullets back at the centre): best shift against the loudness per 0.1 s %+.1f s; "
                "spearman(arrivals per second, short-term loudness) %.3f; in digital silence %zu; last %.2f s of %.2f s\n",
                0.1 * stage_measure::best_shift(level, arrivals_per_tenth, 100),
                stage_measure::spearman(arrivals_per_second, loudness),
                stage_measure::ticks_in_digital_silence(arrivals, music->values, music->channels),
                arrivals.empty() ? 0.0 : static_cast<double>(arrivals.back()) / pattern::ticks_per_second,
                static_cast<double>(music->values.size() / std::max(1u, music->channels)) / 44100.0);
    auto arrivals_between = [&](double from, double to) {
        std::size_t n = 0;
        for (std::int64_t t : arrivals) {
            const double at = static_cast<double>(t) / pattern::ticks_per_second;
            n += at >= from && at < to;
        }
        return n;
    };
    if (silence.given)
        std::printf("events in the silence %.2f-%.2f s: %zu; arrivals: %zu\n", silence.from, silence.to,
                    stage_measure::events_between(*stage, silence.from, silence.to),
                    arrivals_between(silence.from, silence.to));
    std::vector<double> onsets;
    if (onsets_path) {
        if (!read_times(onsets_path, onsets)) {
            std::fprintf(stderr, "measure_stage: cannot read onset times from %s\n", onsets_path);
            return 1;
        }
        const double length = static_cast<double>(music->values.size() / std::max(1u, music->channels)) / 44100.0;
        const auto near = stage_measure::near_onsets(arrivals, onsets, 0.025, length);
        std::printf("onsets %zu (%.2f per second): arrivals within 25 ms of one %.3f (chance %.3f, %.2fx); "
                    "onsets carrying a threat %.3f\n",
                    onsets.size(), length > 0.0 ? static_cast<double>(onsets.size()) / length : 0.0,
                    near.arrivals_near, near.chance, near.chance > 0.0 ? near.arrivals_near / near.chance : 0.0,
                    near.onsets_carrying);
    }
    if (repeats) print_repeats(*music, *stage);
    if (misses) print_misses(*music, arrivals, onsets);
    if (beats_path) {
        std::vector<double> beats;
        if (!read_times(beats_path, beats)) {
            std::fprintf(stderr, "measure_stage: cannot read beat times from %s\n", beats_path);
            return 1;
        }
        std::size_t heard = 0;
        for (double b : beats) {
            const auto it = std::lower_bound(onsets.begin(), onsets.end(), b - 0.025);
            heard += it != onsets.end() && *it <= b + 0.025;
        }
        const double share = beats.empty() ? 0.0 : static_cast<double>(heard) / static_cast<double>(beats.size());
        std::printf("beats %zu: within 25 ms of an onset %.3f; clear beat %s\n", beats.size(), share,
                    share >= clear_beat ? "yes" : "no");
    }
    if (quiet.given) {
        for (const auto* per : {&events, &arrivals_per_second}) {
            const double q = stage_measure::mean_over(*per, quiet.from, quiet.to);
            const double l = stage_measure::mean_over(*per, loud.from, loud.to);
            std::printf("%s: quiet %.2f-%.2f s: %.2f per second; loud %.2f-%.2f s: %.2f per second; quiet/loud %.3f\n",
                        per == &events ? "events" : "arrivals", quiet.from, quiet.to, q, loud.from, loud.to, l,
                        l > 0.0 ? q / l : 0.0);
        }
    }
    return 0;
}
