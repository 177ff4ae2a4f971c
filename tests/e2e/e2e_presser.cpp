// Presses Space in answer to the clicks a calibration reports in its trace
// (VELMORA_CALIBRATE_LOG), the way a player answers the clicks they hear:
//
//   e2e_presser TRACE PID DELAYS...
//
// The n-th DELAYS (milliseconds, comma-separated) serves the n-th try (a
// "listen" line); the line "click K" gets a press DELAYS[K % count] ms later.
// It ends when the process PID has ended. One process presses every key
// through the X server's test extension: on a busy machine a new xdotool per
// press would wait to start, and its waits would spread the presses.
#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// libXtst comes with xdotool; its header (libxtst-dev) is not needed for one call.
using fake_key_event = int (*)(Display*, unsigned int keycode, Bool is_press, unsigned long delay);

std::int64_t now_us() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

std::vector<std::vector<int>> parse_delays(int argc, char** argv) {
    std::vector<std::vector<int>> tries;
    for (int i = 3; i < argc; ++i) {
        std::vector<int> delays;
        std::stringstream in(argv[i]);
        for (std::string item; std::getline(in, item, ',');) delays.push_back(std::atoi(item.c_str()));
        if (delays.empty()) delays.push_back(0);
        tries.push_back(delays);
    }
    return tries;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: e2e_presser TRACE PID DELAYS...\n");
        return 2;
    }
    const pid_t watched = static_cast<pid_t>(std::atol(argv[2]));
    const std::vector<std::vector<int>> tries = parse_delays(argc, argv);
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "e2e_presser: cannot open the display\n");
        return 1;
    }
    void* xtst = dlopen("libXtst.so.6", RTLD_NOW);
    const auto fake = xtst ? reinterpret_cast<fake_key_event>(dlsym(xtst, "XTestFakeKeyEvent")) : nullptr;
    if (!fake) {
        std::fprintf(stderr, "e2e_presser: no XTestFakeKeyEvent in libXtst.so.6\n");
        return 1;
    }
    const unsigned int space = XKeysymToKeycode(display, XK_space);
    std::FILE* trace = nullptr;
    while (!(trace = std::fopen(argv[1], "r"))) {
        if (kill(watched, 0) != 0) return 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    int attempt = -1;
    std::deque<std::int64_t> due;  // press times, in order
    std::string line;
    char buffer[256];
    for (;;) {
        bool idle = true;
        if (std::fgets(buffer, sizeof buffer, trace)) {
            idle = false;
            line += buffer;
            if (!line.empty() && line.back() == '\n') {
                char what[32] = "";
                int k = 0;
                if (std::sscanf(line.c_str(), "%31s %d", what, &k) >= 1) {
                    if (std::strcmp(what, "listen") == 0) ++attempt;
                    if (std::strcmp(what, "click") == 0 && attempt >= 0 && attempt < static_cast<int>(tries.size())) {
                        const std::vector<int>& d = tries[static_cast<std::size_t>(attempt)];
                        due.push_back(now_us() + 1000LL * d[static_cast<std::size_t>(k) % d.size()]);
                    }
                }
                line.clear();
            }
        } else {
            std::clearerr(trace);
        }
        while (!due.empty() && due.front() <= now_us()) {
            due.pop_front();
            fake(display, space, True, 0);
            fake(display, space, False, 0);
            XFlush(display);
            idle = false;
        }
        if (idle) {
            if (due.empty() && kill(watched, 0) != 0) break;
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    }
    XCloseDisplay(display);
    return 0;
}
