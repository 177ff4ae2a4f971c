// A stand-in for velmora_verify with its command line and its answer, for
// the server's own tests: it reads the replay with the game's reader and
// reports the run results the replay claims, except where the seed asks
// for something else: 7 (mod 10) a refusal, 999 a re-play that never ends,
// 998 a crash, 997 an answer that is not JSON, 996 a re-play that takes
// four seconds, 995 one that spends a third of a second of CPU, 994 one
// killed by SIGKILL the first time it is tried (a mark of it is left in the
// folder FAKE_VERIFY_MARKS names). A stage with a mark refuse-STAGE in that
// folder is refused, as one the game now plays otherwise. It plays by the
// game's logic version, or FAKE_VERIFY_LOGIC_VERSION's.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>

#include "gametask/rules.hpp"
#include "results/replay_file.hpp"

namespace {

unsigned logic_version() {
    const char* v = std::getenv("FAKE_VERIFY_LOGIC_VERSION");
    return v && *v ? static_cast<unsigned>(std::strtoul(v, nullptr, 10)) : gametask::rules::logic_version;
}

bool marked(const std::string& name) {
    const char* marks = std::getenv("FAKE_VERIFY_MARKS");
    return marks && std::ifstream(std::string(marks) + "/" + name).good();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--version") {
        std::printf("fake_verify\nlogic_version %u\n", logic_version());
        return 0;
    }
    if (argc < 3) return 2;
    results::replay r;
    if (results::read_replay_file(argv[2], r).status != results::replay_status::ok) {
        std::printf("{\"verified\": false, \"reason\": \"unreadable replay\"}\n");
        return 2;
    }
    vaz::hash_128 stage;
    std::string error;
    if (!vaz::hash_file(argv[1], stage, error)) return 2;
    if (r.seed == 999)
        for (;;) pause();
    if (r.seed == 998) {
        // Past any handler a sanitizer installs: the death a crash gives.
        signal(SIGSEGV, SIG_DFL);
        raise(SIGSEGV);
    }
    if (r.seed == 996) sleep(4);
    if (r.seed == 995) {
        volatile std::uint64_t spin = 0;
        while (std::clock() < CLOCKS_PER_SEC / 3) ++spin;
    }
    if (r.seed == 994) {
        const char* marks = std::getenv("FAKE_VERIFY_MARKS");
        if (!marks) return 2;
        const std::string mark = std::string(marks) + "/killed-" + stage.hex();
        if (!std::ifstream(mark)) {
            std::ofstream(mark) << "killed once\n";
            raise(SIGKILL);
        }
    }
    if (r.seed == 997) {
        std::printf("not json\n");
        return 0;
    }
    if (marked("refuse-" + stage.hex())) {
        std::printf("{\"verified\": false, \"reason\": \"run 1: score: recorded 300, replayed 299\", \"stage\": \"%s\"}\n",
                    stage.hex().c_str());
        return 1;
    }
    if (r.seed % 10 == 7) {
        std::printf("{\"verified\": false, \"reason\": \"run 1: 3 hits, the replay claims 2\", \"stage\": \"%s\"}\n",
                    stage.hex().c_str());
        return 1;
    }
    std::printf("{\"verified\": true, \"reason\": \"\", \"stage\": \"%s\", \"updates\": %u, \"logic_version\": %u, \"runs\": [",
                stage.hex().c_str(), r.update_count, logic_version());
    for (std::size_t i = 0; i < r.finished_runs.size(); ++i) {
        const results::run_summary& s = r.finished_runs[i];
        std::printf("%s{\"run\": %zu, \"hits\": %d, \"score\": %d, \"ratio\": %.2f, \"updates\": %u}", i ? ", " : "", i + 1,
                    s.hits, s.score, static_cast<double>(results::shown_ratio(s.hits, s.score)), results::frames_played(s));
    }
    std::printf("]}\n");
    return 0;
}
