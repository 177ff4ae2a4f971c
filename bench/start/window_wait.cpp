// Starts a command and prints the milliseconds until a top-level window whose
// name begins with PREFIX is mapped on the X display, then ends the command.
//   window_wait PREFIX COMMAND [ARGUMENTS...]
// Told by the X server itself (map and name events), so the figure does not
// depend on how often anything polls. A second figure on the same line is the
// CPU time (user and system, milliseconds) the command had used by then, with
// the children it waited for: on a machine busy with other work the first
// figure grows with the load, the second hardly.
#include <X11/Xlib.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>

namespace {

bool named(Display* d, Window w, const std::string& prefix) {
    char* name = nullptr;
    bool match = false;
    if (XFetchName(d, w, &name) && name != nullptr) {
        match = std::strncmp(name, prefix.c_str(), prefix.size()) == 0;
        XFree(name);
    }
    return match;
}

// A window may be gone by the time it is asked about (SDL maps and destroys
// helper windows); Xlib's default handler would end this program for that
// and leave the command running.
int ignore_x_error(Display*, XErrorEvent*) { return 0; }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: window_wait PREFIX COMMAND [ARGUMENTS...]\n");
        return 2;
    }
    const std::string prefix = argv[1];
    Display* d = XOpenDisplay(nullptr);
    if (d == nullptr) {
        std::fprintf(stderr, "window_wait: cannot open the X display\n");
        return 1;
    }
    XSetErrorHandler(ignore_x_error);
    const Window root = DefaultRootWindow(d);
    XSelectInput(d, root, SubstructureNotifyMask);
    XSync(d, False);

    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        // Only the figure goes to standard output; the command's own output
        // joins standard error.
        dup2(STDERR_FILENO, STDOUT_FILENO);
        execvp(argv[2], argv + 2);
        std::perror("window_wait: exec");
        _exit(127);
    }
    std::set<Window> mapped;
    bool seen = false;
    while (!seen) {
        while (!seen && XPending(d) > 0) {
            XEvent ev;
            XNextEvent(d, &ev);
            if (ev.type == MapNotify) {
                // Its name may come after the map: watch it from now on.
                mapped.insert(ev.xmap.window);
                XSelectInput(d, ev.xmap.window, PropertyChangeMask);
                seen = named(d, ev.xmap.window, prefix);
            } else if (ev.type == PropertyNotify && mapped.count(ev.xproperty.window)) {
                seen = named(d, ev.xproperty.window, prefix);
            }
        }
        if (seen) break;
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            std::fprintf(stderr, "window_wait: %s ended before its window appeared\n", argv[2]);
            return 1;
        }
        if (std::chrono::steady_clock::now() - start > std::chrono::seconds(30)) {
            std::fprintf(stderr, "window_wait: no window within 30 s\n");
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            return 1;
        }
        pollfd p{ConnectionNumber(d), POLLIN, 0};
        poll(&p, 1, 10);
    }
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    // Measured: the program has served its purpose and need not quit nicely.
    kill(pid, SIGKILL);
    rusage used{};
    int status = 0;
    wait4(pid, &status, 0, &used);
    const auto to_ms = [](const timeval& t) { return static_cast<double>(t.tv_sec) * 1000.0 + t.tv_usec / 1000.0; };
    std::printf("%.0f %.0f\n", ms, to_ms(used.ru_utime) + to_ms(used.ru_stime));
    std::fflush(stdout);
    XCloseDisplay(d);
    return 0;
}
