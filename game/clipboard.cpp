#include "game/clipboard.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "results/watch_pace.hpp"

namespace {

// The tool's full path on the PATH; "" when it is not there.
std::string on_path(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    std::size_t from = 0;
    while (from <= dirs.size()) {
        std::size_t colon = dirs.find(':', from);
        if (colon == std::string::npos) colon = dirs.size();
        const std::string dir = dirs.substr(from, colon - from);
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        from = colon + 1;
    }
    return {};
}

}  // namespace

bool copy_to_clipboard(const std::string& text) {
    std::vector<const char*> argv;
    std::string tool = on_path("xclip");
    if (!tool.empty()) {
        argv = {tool.c_str(), "-selection", "clipboard", nullptr};
    } else if (!(tool = on_path("xsel")).empty()) {
        argv = {tool.c_str(), "--clipboard", "--input", nullptr};
    } else {
        return false;
    }
    int pipe_ends[2];
    if (::pipe2(pipe_ends, O_CLOEXEC) != 0) return false;
    const pid_t child = ::fork();
    if (child == 0) {
        // The grandchild runs the tool; the child ends at once, so the game
        // waits for nothing and leaves no zombie.
        if (::fork() == 0) {
            ::dup2(pipe_ends[0], STDIN_FILENO);
            const int null = ::open("/dev/null", O_WRONLY);
            if (null >= 0) {
                ::dup2(null, STDOUT_FILENO);
                ::dup2(null, STDERR_FILENO);
            }
            ::execv(argv[0], const_cast<char* const*>(argv.data()));
            ::_exit(127);
        }
        ::_exit(0);
    }
    ::close(pipe_ends[0]);
    bool ok = child > 0;
    // A link is far shorter than a pipe's buffer: this write does not block.
    if (ok) ok = ::write(pipe_ends[1], text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(pipe_ends[1]);
    if (child > 0)
        while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
    return ok;
}

std::string link_at_moment(const std::string& link, std::uint32_t update) {
    return link + "?t=" + std::to_string(update / results::watch_updates_per_second);
}
