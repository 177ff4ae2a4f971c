#pragma once
// A throwaway PostgreSQL cluster for one test binary, made and started by
// scripts/pg_cluster.sh (as scripts/server.sh makes the real one) in a fresh
// temporary folder, stopped and removed afterwards; and the scoreboard
// server started on it as a child process.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace test_support {

inline std::string source_dir() {
    const char* s = std::getenv("VELMORA_SOURCE_DIR");
#ifdef VELMORA_SOURCE_DIR_DEFAULT
    return s && *s ? s : VELMORA_SOURCE_DIR_DEFAULT;
#else
    return s && *s ? s : ".";
#endif
}

inline std::string shell_output(const std::string& command, int& status) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[4096];
        std::size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        status = pclose(p);
    } else {
        status = -1;
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

class pg_cluster {
public:
    // fast: without fsync, for tests; a benchmark measures the durable one.
    explicit pg_cluster(bool fast = true) {
        char name[] = "/tmp/velmora_pg.XXXXXX";
        if (!mkdtemp(name)) throw std::runtime_error("mkdtemp failed");
        root_ = name;
        // The cluster's own user (postgres, when the tests run as root) must pass through.
        chmod(root_.c_str(), 0755);
        folder_ = root_ + "/pg";
        int status = 0;
        url_ = shell_output(script() + " start '" + folder_ + "'" + (fast ? " --fast" : ""), status);
        if (status != 0) throw std::runtime_error("cannot start a PostgreSQL cluster in " + folder_);
        url_ = url_.substr(url_.rfind('\n') == std::string::npos ? 0 : url_.rfind('\n') + 1);
    }
    ~pg_cluster() {
        stop();
        // The stopped server may still be writing its last log line.
        for (int attempt = 0; attempt < 5; ++attempt) {
            if (std::system(("rm -rf '" + root_ + "' 2>/dev/null").c_str()) == 0) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }
    pg_cluster(const pg_cluster&) = delete;
    pg_cluster& operator=(const pg_cluster&) = delete;

    const std::string& url() const { return url_; }
    const std::string& root() const { return root_; }
    void stop() { run("stop"); }
    bool start() { return run("start"); }
    bool restart() { return run("restart"); }

    // Runs SQL through psql as the cluster's user; its output, trimmed.
    std::string sql(const std::string& statement) const {
        int status = 0;
        return shell_output("/usr/lib/postgresql/15/bin/psql -X -q -t -A -d '" + url_ + "' -c \"" + statement + "\" 2>&1",
                            status);
    }

private:
    std::string script() const { return source_dir() + "/scripts/pg_cluster.sh"; }
    bool run(const char* action) {
        int status = 0;
        shell_output(script() + " " + action + " '" + folder_ + "' >/dev/null 2>&1", status);
        return status == 0;
    }
    std::string root_, folder_, url_;
};

// velmora_server (or any program) as a child whose standard output's first
// line is read; stopped with SIGTERM, or killed, when dropped.
class child_program {
public:
    explicit child_program(const std::vector<std::string>& argv, const std::string& log_path = "/dev/null") {
        int out[2];
        if (pipe(out) != 0) throw std::runtime_error("pipe failed");
        pid_ = fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            dup2(out[1], 1);
            close(out[0]);
            close(out[1]);
            if (FILE* log = std::fopen(log_path.c_str(), "a")) dup2(fileno(log), 2);
            std::vector<char*> args;
            for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        close(out[1]);
        out_ = out[0];
    }
    ~child_program() { stop(SIGTERM); }
    child_program(const child_program&) = delete;
    child_program& operator=(const child_program&) = delete;

    // The first line it writes, waiting at most `seconds`; empty when none came.
    std::string first_line(int seconds) {
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < deadline) {
            fd_set set;
            FD_ZERO(&set);
            FD_SET(out_, &set);
            timeval tv{0, 100000};
            if (select(out_ + 1, &set, nullptr, nullptr, &tv) <= 0) continue;
            char c;
            if (read(out_, &c, 1) != 1) break;
            if (c == '\n') return line;
            line += c;
        }
        return {};
    }

    pid_t pid() const { return pid_; }

    // Sends sig and waits (at most 60 s, then SIGKILL); the exit status, or -1 after a signal.
    int stop(int sig) {
        if (pid_ <= 0) return -1;
        kill(pid_, sig);
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        pid_ = -1;
        close(out_);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
};

// A scoreboard server on a free port of 127.0.0.1.
class server_process {
public:
    server_process(const std::string& program, const std::string& url, std::vector<std::string> extra,
                   const std::string& log_path = "/dev/null") {
        std::vector<std::string> argv = {program, "--database", url, "--listen", "127.0.0.1:0"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        child_ = std::make_unique<child_program>(argv, log_path);
        const std::string line = child_->first_line(60);
        const auto colon = line.rfind(':');
        if (line.find("listening on") == std::string::npos || colon == std::string::npos)
            throw std::runtime_error("the server did not start: \"" + line + "\"");
        port_ = std::atoi(line.c_str() + colon + 1);
    }
    int port() const { return port_; }
    pid_t pid() const { return child_->pid(); }
    int stop(int sig = SIGTERM) { return child_->stop(sig); }

private:
    std::unique_ptr<child_program> child_;
    int port_ = 0;
};

}  // namespace test_support
