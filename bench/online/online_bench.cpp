// The game's side of the scoreboard server, measured:
//   1. a finished session to "verified" in the song library, as the library
//      screen shows it: queued, sent by the background sender, re-played by
//      the server's worker with velmora_verify, the verdict asked for and
//      kept; against a local server on a throwaway PostgreSQL;
//   2. the Chromaprint fingerprint beside preparing the same song, the share
//      it adds.
//   online_bench STAGE REPLAY SONG [--rounds N]
// STAGE and REPLAY are a session the game recorded (velmora -record=) on
// that stage; SONG any sound file to prepare. It fails when a goal is missed
// (2 s to verified, 10% added to preparing).
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

#include "converter/load_any.hpp"
#include "library/fingerprint.hpp"
#include "library/prepare.hpp"
#include "library/submissions.hpp"
#include "online/client.hpp"
#include "online/sender.hpp"
#include "support/pg_cluster.hpp"
#include "support/scratch_dir.hpp"

namespace {

using clock_type = std::chrono::steady_clock;

std::string program(const char* name) { return std::string(VELMORA_BUILD_DIR) + "/" + name; }

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: online_bench STAGE REPLAY SONG [--rounds N]\n");
        return 2;
    }
    const std::string stage = argv[1], replay = argv[2], song = argv[3];
    const int rounds = argc >= 6 && std::string(argv[4]) == "--rounds" ? std::max(1, std::atoi(argv[5])) : 5;
    bool missed = false;

    // 1. Session to verified.
    {
        test_support::pg_cluster cluster;
        test_support::server_process server(program("velmora_server"), cluster.url(), {"--workers", "1"},
                                            cluster.root() + "/server.log");
        const std::string url = "http://127.0.0.1:" + std::to_string(server.port());
        std::vector<double> seconds;
        for (int round = 0; round < rounds; ++round) {
            // The same replay counts once: the server forgets it between rounds.
            cluster.sql("TRUNCATE bests, runs, sessions, replays, stages, players CASCADE");
            const online::registered who = online::client(url).register_player("bench_" + std::to_string(round));
            if (!who.how.ok) {
                std::fprintf(stderr, "online_bench: cannot register: %s\n", who.how.message.c_str());
                return 1;
            }
            test_support::scratch_dir dir;
            setenv("XDG_DATA_HOME", dir.path().c_str(), 1);
            library::song_library lib(dir / "library.sqlite3");
            online::background_sender sender(lib, {url, "bench", who.token});
            const auto start = clock_type::now();
            const std::string problem = library::queue_submission(lib, replay, "bench-session", std::string(32, 'b'),
                                                                  library::stage_choice{}, stage, url, std::time(nullptr));
            if (!problem.empty()) {
                std::fprintf(stderr, "online_bench: %s\n", problem.c_str());
                return 1;
            }
            sender.wake();
            library::submission_state state = library::submission_state::queued;
            while (clock_type::now() - start < std::chrono::seconds(30)) {
                state = library::all_submissions(lib, url).at(0).state;
                if (state == library::submission_state::verified || state == library::submission_state::rejected) break;
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            const double s = std::chrono::duration<double>(clock_type::now() - start).count();
            if (state != library::submission_state::verified) {
                std::fprintf(stderr, "online_bench: round %d ended %s: %s\n", round, library::state_name(state),
                             library::all_submissions(lib, url).at(0).reason.c_str());
                return 1;
            }
            seconds.push_back(s);
            unsetenv("XDG_DATA_HOME");
        }
        const double worst = *std::max_element(seconds.begin(), seconds.end());
        std::printf("session to verified: median %.3f s, worst %.3f s over %d rounds (goal under 2 s)\n",
                    median(seconds), worst, rounds);
        missed |= worst >= 2.0;
    }

    // 2. The fingerprint's share of preparing: the same song prepared (into
    // a fresh cache each time) and fingerprinted alone.
    {
        const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
        std::vector<double> prepare_s, fingerprint_s;
        for (int round = 0; round < rounds; ++round) {
            test_support::scratch_dir dir;
            const stagecache::stage_cache cache(dir / "cache");
            auto a = clock_type::now();
            const library::prepare_outcome r = library::prepare_song(song, converter::edition::standard,
                                                                     converter::difficulty::hard, cores, cache, nullptr, {});
            prepare_s.push_back(std::chrono::duration<double>(clock_type::now() - a).count());
            if (r.status != library::prepare_status::prepared) {
                std::fprintf(stderr, "online_bench: cannot prepare %s: %s\n", song.c_str(), r.error.c_str());
                return 1;
            }
            converter::source_facts facts{};
            std::string why;
            const std::unique_ptr<converter::wave_sample> source = converter::load_at_converter_rate(song, &facts, &why);
            a = clock_type::now();
            const std::string fp = library::audio_fingerprint(source->data.get(), source->frame_count(),
                                                              source->info.chans, source->info.freq);
            fingerprint_s.push_back(std::chrono::duration<double>(clock_type::now() - a).count());
            if (fp.empty()) {
                std::fprintf(stderr, "online_bench: no fingerprint of %s\n", song.c_str());
                return 1;
            }
        }
        const double share = median(fingerprint_s) / median(prepare_s);
        std::printf("preparing on %u threads without the fingerprint: median %.3f s; the fingerprint: median %.3f s, "
                    "%.1f%% more (goal at most 10%%)\n",
                    cores, median(prepare_s), median(fingerprint_s), 100.0 * share);
        missed |= share > 0.10;
    }
    return missed ? 1 : 0;
}
