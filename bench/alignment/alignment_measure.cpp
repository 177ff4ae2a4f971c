// Run: <build folder>/bench/alignment_measure MUSIC_DIR (ALIGNMENT_MEASURE_NO_COST=1 in the
// environment leaves out the cost table, the slowest part)
// MUSIC_DIR as bench/alignment/get_music.sh makes it: one folder per piece
// holding plain-<format> and pad-<format> files (pad: 0.5 s of silence put
// before the music), nudge-flac and nudge-mp3_128 (502.5 ms to the nearest
// sample, the time in nudge.ms), and click/ with a click at 1 s in every
// format; and mixes/, one folder per piece holding board.flac, copies of it
// (copy-*, their time put in in offsets.ms, else 0) and other mixes of the
// same parts (mix-*), as get_music.sh makes them.
//
// Prints, as tables for alignment/README.md:
//  1. each decoder's own delay: where the click comes out of the
//     converter's decoding (converter/load_any) against where it was put;
//  2. for every piece and file, the offset found against the piece's plain
//     FLAC, its error against the offset put in (0, 500 or about 502.5 ms), and its error
//     against the music as decoded (the offset put in plus the decoder's own
//     delay less FLAC's: what the player hears, so where the bullets must
//     land), whether it is clear, and the peak and runner-up correlations;
//  3. every piece's FLAC against every other's: how many are clear;
//     every copy and other mix against its board's file: whether it is
//     clear, its error, the bands' balance and whether the server links it;
//  4. the time of making the envelope and aligning it, from the samples a
//     preparation decodes anyway and from the file (decoding it again),
//     beside the time of preparing the song's stage (library::prepare_song,
//     dynamics edition, normal, one thread, an empty cache each time).
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "alignment/alignment.hpp"
#include "converter/load_any.hpp"
#include "library/fingerprint.hpp"
#include "server/recordings.hpp"
#include "library/prepare.hpp"
#include "stagecache/stage_cache.hpp"

namespace fs = std::filesystem;

namespace {

const char* const formats[] = {"flac", "mp3_128", "mp3_320", "ogg", "opus"};
const std::map<std::string, std::string> extensions = {
    {"flac", "flac"}, {"mp3_128", "mp3"}, {"mp3_320", "mp3"}, {"ogg", "ogg"}, {"opus", "opus"}};

std::string file_of(const fs::path& dir, const std::string& kind, const std::string& format) {
    return (dir / (kind + "-" + format + "." + extensions.at(format))).string();
}

// Processor time of the whole process (all its threads), in seconds: other
// work on the machine lengthens wall times but hardly this.
double cpu_now() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}
double seconds_since(double start) { return cpu_now() - start; }

alignment::envelope envelope_or_die(const std::string& path) {
    std::string why;
    auto e = alignment::envelope_of_file(path, why);
    if (!e) {
        std::fprintf(stderr, "alignment_measure: %s: %s\n", path.c_str(), why.c_str());
        std::exit(1);
    }
    return *e;
}

// Where the loudest value of the decoded click lies, in ms after 1 s.
std::map<std::string, double> decoder_delays(const fs::path& dir) {
    std::map<std::string, double> delays;
    std::printf("## Decoder delays (click at 1000 ms)\n\n| format | click found at (ms) | delay (ms) |\n|---|---|---|\n");
    for (const char* f : formats) {
        std::string why;
        const auto s = converter::load_at_converter_rate(file_of(dir, "plain", f), nullptr, &why);
        if (!s) {
            std::fprintf(stderr, "alignment_measure: click %s: %s\n", f, why.c_str());
            std::exit(1);
        }
        std::size_t at = 0;
        for (std::size_t i = 0; i < s->value_count(); ++i)
            if (std::abs(s->data[i]) > std::abs(s->data[at])) at = i;
        const double ms = static_cast<double>(at / s->info.chans) * 1000.0 / s->info.freq;
        delays[f] = ms - 1000.0;
        std::printf("| %s | %.2f | %+.2f |\n", f, ms, delays[f]);
    }
    return delays;
}

struct totals {
    int files = 0, clear = 0, linked = 0;
    double worst_put_in = 0, worst_music = 0, worst_balance = 0;
};

// The time put before the music of the nudge- files, as get_music.sh wrote it.
double nudge_ms(const fs::path& dir) {
    std::ifstream in(dir / "nudge.ms");
    double ms = 0;
    if (!(in >> ms)) {
        std::fprintf(stderr, "alignment_measure: no time in %s\n", (dir / "nudge.ms").c_str());
        std::exit(1);
    }
    return ms;
}

// The file's fingerprint as the song library keeps it (from the decode a
// preparation makes) and its length; exits on a file it cannot decode.
struct heard {
    std::vector<std::uint32_t> print;
    double seconds = 0;
};
heard fingerprint_or_die(const std::string& path) {
    std::string why;
    const auto w = converter::load_at_converter_rate(path, nullptr, &why);
    if (!w) {
        std::fprintf(stderr, "alignment_measure: cannot decode %s: %s\n", path.c_str(), why.c_str());
        std::exit(1);
    }
    const auto print = server::decode_fingerprint(
        library::audio_fingerprint(w->data.get(), w->frame_count(), w->info.chans, w->info.freq));
    return {print ? *print : std::vector<std::uint32_t>{}, static_cast<double>(w->frame_count()) / w->info.freq};
}

// Whether the server links the two files' stages to one recording, and so
// one board: their fingerprints, lengths and (when both are sent) envelopes.
bool one_recording(const heard& a, const heard& b, const alignment::envelope& ea, const alignment::envelope& eb) {
    return !a.print.empty() && !b.print.empty() && std::fabs(a.seconds - b.seconds) * 1000 <= server::length_slack_ms &&
           server::same_recording(a.print, b.print) && server::same_mix(alignment::encode(ea), alignment::encode(eb));
}

void align_one(const fs::path& dir, const alignment::envelope& board, const std::string& kind, const std::string& f,
               double put_in, const std::map<std::string, double>& delays, totals& t) {
    alignment::peak_figures figures;
    const auto mine = envelope_or_die(file_of(dir, kind, f));
    const auto found = alignment::align(board, mine, &figures);
    const bool linked = one_recording(fingerprint_or_die(file_of(dir, "plain", "flac")), fingerprint_or_die(file_of(dir, kind, f)),
                                      board, mine);
    t.linked += linked;
    const double music = put_in + delays.at(f) - delays.at("flac");
    ++t.files;
    t.clear += found.clear;
    if (found.clear) {
        t.worst_put_in = std::max(t.worst_put_in, std::fabs(found.ms - put_in));
        t.worst_music = std::max(t.worst_music, std::fabs(found.ms - music));
    }
    t.worst_balance = std::max(t.worst_balance, figures.balance);
    std::printf("| %s | %s-%s | %.2f | %+.2f | %+.2f | %s | %.3f | %.3f | %.2f | %s |\n", dir.filename().c_str(), kind.c_str(),
                f.c_str(), found.ms, found.ms - put_in, found.ms - music, found.clear ? "yes" : "no", figures.peak,
                figures.runner_up, figures.balance, linked ? "yes" : "no");
}

void align_piece(const fs::path& dir, const std::map<std::string, double>& delays, totals& t) {
    const auto board = envelope_or_die(file_of(dir, "plain", "flac"));
    for (const char* f : formats)
        if (std::string(f) != "flac") align_one(dir, board, "plain", f, 0.0, delays, t);
    for (const char* f : formats) align_one(dir, board, "pad", f, 500.0, delays, t);
    for (const char* f : {"flac", "mp3_128"}) align_one(dir, board, "nudge", f, nudge_ms(dir), delays, t);
}

void cross_pieces(const std::vector<fs::path>& pieces) {
    std::vector<alignment::envelope> e;
    for (const auto& p : pieces) e.push_back(envelope_or_die(file_of(p, "plain", "flac")));
    std::vector<heard> prints;
    for (const auto& p : pieces) prints.push_back(fingerprint_or_die(file_of(p, "plain", "flac")));
    int pairs = 0, clear = 0, linked = 0;
    double highest = -1.0, best_runner = -1.0;
    for (std::size_t i = 0; i < e.size(); ++i)
        for (std::size_t j = 0; j < e.size(); ++j) {
            if (i == j) continue;
            alignment::peak_figures figures;
            clear += alignment::align(e[i], e[j], &figures).clear;
            linked += one_recording(prints[i], prints[j], e[i], e[j]);
            ++pairs;
            if (figures.peak > highest) highest = figures.peak, best_runner = figures.runner_up;
        }
    std::printf("\n## Different pieces against each other\n\n%d ordered pairs, %d clear, %d taken for one "
                "recording; highest peak %.3f (its runner-up %.3f)\n",
                pairs, clear, linked, highest, best_runner);
}

// Each copy and other mix in a mixes/ folder against its board.flac.
void mixes_of(const fs::path& dir) {
    std::map<std::string, double> put_in;
    std::ifstream offsets(dir / "offsets.ms");
    std::string name;
    for (double ms = 0; offsets >> name >> ms;) put_in[name] = ms;
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().filename().string().rfind("copy-", 0) == 0 || entry.path().filename().string().rfind("mix-", 0) == 0)
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    const std::string board_file = (dir / "board.flac").string();
    const auto board = envelope_or_die(board_file);
    const heard board_print = fingerprint_or_die(board_file);
    for (const fs::path& f : files) {
        const std::string file = f.filename().string();
        const bool copy = file.rfind("copy-", 0) == 0;
        alignment::peak_figures figures;
        const auto mine = envelope_or_die(f.string());
        const auto found = alignment::align(board, mine, &figures);
        const bool linked = one_recording(board_print, fingerprint_or_die(f.string()), board, mine);
        const bool fingerprints = one_recording(board_print, fingerprint_or_die(f.string()), {}, {});
        const double error = found.ms - (put_in.count(file) ? put_in[file] : 0.0);
        std::printf("| %s | %s | %s | %s | %+.2f | %.3f | %.2f | %s | %s |\n", dir.filename().c_str(), file.c_str(),
                    copy ? "copy" : "other mix", found.clear ? "yes" : "no", error, figures.peak, figures.balance,
                    fingerprints ? "yes" : "no", linked ? "yes" : "no");
    }
}

void costs(const std::vector<fs::path>& pieces) {
    std::printf("\n## Cost (one thread; processor seconds)\n\n"
                "| file | prepare_song | decoding | envelope of the decoded samples | align | share | "
                "envelope_of_file + align | share |\n|---|---|---|---|---|---|---|---|\n");
    const fs::path cache_root = fs::temp_directory_path() / "velmora_alignment_measure_cache";
    double all_prepare = 0, all_made = 0, all_file = 0;
    for (const auto& p : pieces)
        for (const char* f : {"flac", "mp3_128"}) {
            const std::string path = file_of(p, "plain", f);
            fs::remove_all(cache_root);
            double t = cpu_now();
            const auto out = library::prepare_song(path, converter::edition::dynamics, converter::difficulty::normal, 1,
                                                   stagecache::stage_cache(cache_root.string()), nullptr, {});
            const double prepare = seconds_since(t);
            if (!out.error.empty()) {
                std::fprintf(stderr, "alignment_measure: %s\n", out.error.c_str());
                std::exit(1);
            }
            std::string why;
            t = cpu_now();
            const auto source = converter::load_at_converter_rate(path, nullptr, &why);
            const double decoding = seconds_since(t);
            t = cpu_now();
            const auto mine = alignment::make_envelope(source->data.get(), source->frame_count(),
                                                       static_cast<int>(source->info.chans),
                                                       static_cast<int>(source->info.freq));
            const double made = seconds_since(t);
            t = cpu_now();
            envelope_or_die(path);
            const double from_file = seconds_since(t);
            const auto board = envelope_or_die(file_of(p, "pad", "flac"));
            t = cpu_now();
            alignment::align(board, mine);
            const double aligned = seconds_since(t);
            all_prepare += prepare;
            all_made += made + aligned;
            all_file += from_file + aligned;
            std::printf("| %s/%s | %.3f | %.3f | %.3f | %.3f | %.1f%% | %.3f | %.1f%% |\n", p.filename().c_str(), f,
                        prepare, decoding, made, aligned, 100.0 * (made + aligned) / prepare, from_file + aligned,
                        100.0 * (from_file + aligned) / prepare);
        }
    fs::remove_all(cache_root);
    std::printf("\nAll together, beside preparing: the envelope of the decoded samples and aligning %.1f%%; "
                "decoding again for the envelope and aligning %.1f%%.\n",
                100.0 * all_made / all_prepare, 100.0 * all_file / all_prepare);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: alignment_measure MUSIC_DIR (made by bench/alignment/get_music.sh)\n");
        return 2;
    }
    const fs::path root = argv[1];
    std::vector<fs::path> pieces;
    for (const auto& entry : fs::directory_iterator(root))
        if (entry.is_directory() && entry.path().filename() != "click" && entry.path().filename() != "mixes")
            pieces.push_back(entry.path());
    std::sort(pieces.begin(), pieces.end());
    const auto delays = decoder_delays(root / "click");

    std::printf("\n## Offsets against each piece's FLAC (ms)\n\n"
                "| piece | file | found | error vs put in | error vs music | clear | peak | runner-up | balance (dB) | one recording |\n"
                "|---|---|---|---|---|---|---|---|---|---|\n");
    totals t;
    for (const auto& p : pieces) align_piece(p, delays, t);
    std::printf("\n%d of %d copies clear; worst error of a clear one: %.2f ms against the offset put in, "
                "%.2f ms against the music as decoded; %d of %d taken for the FLAC's recording (one board); "
                "bands' balance differs by at most %.2f dB\n",
                t.clear, t.files, t.worst_put_in, t.worst_music, t.linked, t.files, t.worst_balance);
    cross_pieces(pieces);
    std::printf("\n## Copies and other mixes of one piece against its board's file\n\n"
                "| piece | file | is | clear | error (ms) | peak | balance (dB) | fingerprints match | one recording |\n"
                "|---|---|---|---|---|---|---|---|---|\n");
    if (fs::is_directory(root / "mixes"))
        for (const auto& entry : fs::directory_iterator(root / "mixes"))
            if (entry.is_directory()) mixes_of(entry.path());
    if (std::getenv("ALIGNMENT_MEASURE_NO_COST")) return 0;
    costs(pieces);
    return 0;
}
