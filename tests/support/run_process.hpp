#pragma once
// Runs a program with its standard output and error captured.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

struct process_result {
    int status = -1;  // exit status, or -1 after a signal
    int signal = 0;
    std::string out;
    std::string err;
};

struct process_options {
    std::vector<std::string> env;     // NAME=value pairs added to the environment
    long file_size_limit = -1;        // bytes, for RLIMIT_FSIZE
    bool ignore_file_size_signal = false;
};

inline process_result run_process(const std::vector<std::string>& argv, const process_options& opt = {}) {
    int out_pipe[2];
    int err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) std::abort();
    const pid_t pid = fork();
    if (pid < 0) std::abort();
    if (pid == 0) {
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        close(out_pipe[0]);
        close(err_pipe[0]);
        close(out_pipe[1]);
        close(err_pipe[1]);
        for (const std::string& e : opt.env) putenv(const_cast<char*>(e.c_str()));
        if (opt.file_size_limit >= 0) {
            rlimit lim{static_cast<rlim_t>(opt.file_size_limit), static_cast<rlim_t>(opt.file_size_limit)};
            setrlimit(RLIMIT_FSIZE, &lim);
        }
        signal(SIGXFSZ, opt.ignore_file_size_signal ? SIG_IGN : SIG_DFL);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    process_result r;
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&r.out, &r.err};
    int open_pipes = 2;
    while (open_pipes > 0) {
        if (poll(fds, 2, -1) < 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[4096];
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<std::size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_pipes;
            }
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) r.status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
    return r;
}

// Where the converters were built.
inline std::string build_dir() {
    const char* dir = std::getenv("VELMORA_BUILD_DIR");
    return dir ? dir : VELMORA_DEFAULT_BUILD_DIR;
}
