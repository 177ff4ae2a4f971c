// velmora_verify STAGE_FILE REPLAY_FILE [--max-updates N] [--claims RUNS]:
// plays a replay again on its stage without a window or sound and prints the
// verdict as one JSON object on standard output. Exit status 0 verified, 1 rejected, 2 bad
// usage or a file that cannot be read.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "gametask/rules.hpp"
#include "replaycheck/replay_check.hpp"
#include "results/replay_file.hpp"

namespace {

using json = nlohmann::ordered_json;

constexpr int status_verified = 0;
constexpr int status_rejected = 1;
constexpr int status_usage = 2;

const char* const usage_text =
    "usage: velmora_verify STAGE_FILE REPLAY_FILE [--max-updates N] [--claims HITS:SCORE:UPDATES,...]\n";

json verdict(bool verified, const std::string& reason, const std::string& stage, std::uint32_t updates,
             const std::vector<results::run_summary>& runs, std::uint32_t bombs = 0, std::uint32_t session_updates = 0) {
    json out;
    out["verified"] = verified;
    out["reason"] = reason;
    out["stage"] = stage;
    out["updates"] = updates;
    out["session_updates"] = session_updates;
    out["runs"] = json::array();
    out["bombs"] = bombs;
    out["logic_version"] = gametask::rules::logic_version;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const results::run_summary& s = runs[i];
        const float ratio = replaycheck::run_ratio(s);
        out["runs"].push_back({{"run", i + 1},
                               {"hits", s.hits},
                               {"score", s.score},
                               {"ratio", static_cast<double>(ratio)},
                               {"updates", results::frames_played(s)},
                               {"ratio_text", results::ratio_text(ratio)},
                               {"start_update", s.start_update},
                               {"result_update", s.result_update},
                               {"end_update", s.end_update}});
    }
    return out;
}

int answer(const json& j, int status) {
    // Reasons may quote an argument as given; bytes that are not UTF-8 are replaced, never thrown over.
    const std::string text = j.dump(-1, ' ', false, json::error_handler_t::replace);
    std::fputs(text.c_str(), stdout);
    std::fputc('\n', stdout);
    return std::fflush(stdout) == 0 ? status : status_usage;
}

int usage(const std::string& why) {
    std::fprintf(stderr, "velmora_verify: %s\n%s", why.c_str(), usage_text);
    return answer(verdict(false, why, "", 0, {}), status_usage);
}

// A count of updates: digits only, 1 to 2^32-1.
bool parse_updates(const char* text, std::uint32_t& out) {
    if (*text == '\0') return false;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long long n = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || n == 0 || n > UINT32_MAX) return false;
    out = static_cast<std::uint32_t>(n);
    return true;
}

// One whole number in [lo, hi] from text up to the next separator or the end.
bool parse_number(const char*& p, long long lo, long long hi, long long& out) {
    const char* start = p;
    if (*p == '-') ++p;
    if (*p < '0' || *p > '9') return false;
    while (*p >= '0' && *p <= '9') ++p;
    if (p - start > 12) return false;
    out = std::strtoll(std::string(start, p).c_str(), nullptr, 10);
    return out >= lo && out <= hi;
}

// HITS:SCORE:UPDATES for each finished run, comma-separated.
bool parse_claims(const std::string& text, std::vector<replaycheck::run_claim>& out) {
    const char* p = text.c_str();
    for (;;) {
        long long hits = 0, score = 0, updates = 0;
        if (!parse_number(p, INT32_MIN, INT32_MAX, hits) || *p++ != ':') return false;
        if (!parse_number(p, INT32_MIN, INT32_MAX, score) || *p++ != ':') return false;
        if (!parse_number(p, 0, UINT32_MAX, updates)) return false;
        out.push_back({static_cast<std::int32_t>(hits), static_cast<std::int32_t>(score), static_cast<std::uint32_t>(updates)});
        if (*p == '\0') return true;
        if (*p++ != ',') return false;
    }
}

int verify(int argc, char** argv) {
    std::vector<std::string> files;
    std::uint32_t max_updates = replaycheck::default_max_updates;
    std::vector<replaycheck::run_claim> claims;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--claims") {
            if (i + 1 >= argc) return usage("--claims needs the claimed runs, HITS:SCORE:UPDATES,...");
            const std::string value = argv[++i];
            claims.clear();
            if (!parse_claims(value, claims)) {
                return usage("--claims must be HITS:SCORE:UPDATES for each run, comma-separated, not \"" + value + "\"");
            }
            continue;
        }
        const std::string option = "--max-updates";
        if (arg == option || arg.rfind(option + "=", 0) == 0) {
            std::string value;
            if (arg == option) {
                if (i + 1 >= argc) return usage("--max-updates needs a count of updates");
                value = argv[++i];
            } else {
                value = arg.substr(option.size() + 1);
            }
            if (!parse_updates(value.c_str(), max_updates)) {
                return usage("--max-updates must be a whole number from 1 to 4294967295, not \"" + value + "\"");
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usage("unknown option \"" + arg + "\"");
        } else {
            files.push_back(arg);
        }
    }
    if (files.size() != 2) return usage("give a stage file and a replay file");

    const replaycheck::file_bytes stage = replaycheck::read_file_bounded(files[0], replaycheck::stage_max_file_size);
    if (stage.outcome == replaycheck::file_bytes::status::unreadable) {
        const std::string why = "cannot read the stage file \"" + files[0] + "\": " + stage.why;
        std::fprintf(stderr, "velmora_verify: %s\n", why.c_str());
        return answer(verdict(false, why, "", 0, {}), status_usage);
    }
    if (stage.outcome == replaycheck::file_bytes::status::too_large) {
        return answer(verdict(false, "the stage is too large to be one (over " +
                                         std::to_string(replaycheck::stage_max_file_size >> 20) + " MiB)",
                              "", 0, {}),
                      status_rejected);
    }
    const std::string stage_hex = vaz::hash_bytes(stage.bytes.data(), stage.bytes.size()).hex();

    // One byte past the format's bound is enough to tell a too large file.
    const replaycheck::file_bytes replay =
        replaycheck::read_file_bounded(files[1], results::replay_max_file_size + 1);
    if (replay.outcome == replaycheck::file_bytes::status::unreadable) {
        const std::string why = "cannot read the replay file \"" + files[1] + "\": " + replay.why;
        std::fprintf(stderr, "velmora_verify: %s\n", why.c_str());
        return answer(verdict(false, why, stage_hex, 0, {}), status_usage);
    }
    const std::size_t replay_size =
        replay.outcome == replaycheck::file_bytes::status::too_large ? results::replay_max_file_size + 1
                                                                     : replay.bytes.size();

    const replaycheck::check_result r = replaycheck::check_replay(stage.bytes.data(), stage.bytes.size(),
                                                                  replay.bytes.data(), replay_size, max_updates, claims);
    return answer(verdict(r.verified, r.reason, r.stage.hex(), r.updates, r.runs, r.bombs, r.session_updates),
                  r.verified ? status_verified : status_rejected);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::printf("%s"
                    "Plays REPLAY_FILE again on STAGE_FILE (the pattern file it was recorded on)\n"
                    "with the game's own logic, without a window or sound, and prints one JSON\n"
                    "object: verified, reason, stage, updates and every finished run's hits,\n"
                    "score, ratio and updates. It stops at the first run that ends otherwise\n"
                    "than the replay lists. Exit status 0 verified, 1 rejected, 2 bad usage\n"
                    "or an unreadable file.\n"
                    "  --max-updates N  reject a replay of more than N updates (%u)\n"
                    "  --claims RUNS    the runs a server claims, HITS:SCORE:UPDATES for each,\n"
                    "                   comma-separated; rejected unless they are the listed ones\n",
                    usage_text, replaycheck::default_max_updates);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("velmora_verify %s\nlogic_version %u\n", VELMORA_VERSION,
                    static_cast<unsigned>(gametask::rules::logic_version));
        return 0;
    }
    try {
        return verify(argc, argv);
    } catch (const std::bad_alloc&) {
        return answer(verdict(false, "the re-play ran out of memory", "", 0, {}), status_rejected);
    } catch (const std::exception& e) {
        return answer(verdict(false, std::string("the re-play failed: ") + e.what(), "", 0, {}), status_usage);
    }
}
