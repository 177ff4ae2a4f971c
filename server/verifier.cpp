#include "server/verifier.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <chrono>
#include <cstring>

#include <nlohmann/json.hpp>

namespace server {
namespace {

constexpr std::size_t output_limit = 1u << 20;
constexpr int exec_failed = 127;
constexpr int usage_failed = 2;  // velmora_verify's bad usage or unreadable file

#if defined(__SANITIZE_ADDRESS__)
constexpr bool address_space_limited = false;  // the sanitizer reserves terabytes of shadow memory
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool address_space_limited = false;
#else
constexpr bool address_space_limited = true;
#endif
#else
constexpr bool address_space_limited = true;
#endif

verdict rejected(std::string reason) { return {verdict::kind::rejected, std::move(reason)}; }
verdict fault(std::string reason) { return {verdict::kind::fault, std::move(reason)}; }
verdict worker_fault(const char* what) { return {verdict::kind::worker_fault, std::string(what) + ": " + std::strerror(errno)}; }

// The claimed runs as velmora_verify's --claims takes them: HITS:SCORE:UPDATES,...
std::string claims_text(const std::vector<claimed_run>& runs) {
    std::string out;
    for (const claimed_run& c : runs) {
        if (!out.empty()) out += ',';
        out += std::to_string(c.hits) + ":" + std::to_string(c.score) + ":" + std::to_string(c.updates);
    }
    return out;
}

}  // namespace

verdict judge(const child_end& e, const std::string& output, const session_files& s) {
    if (e.exec_errno != 0)
        return {verdict::kind::worker_fault, std::string("the verifier program could not be started: ") + std::strerror(e.exec_errno)};
    if (e.timed_out) return rejected("the re-play ran past its time limit");
    // The hard CPU limit kills; a kill without that CPU spent came from
    // elsewhere (the OOM killer, an operator) and says nothing of the replay.
    if (e.signal == SIGXCPU || (e.signal == SIGKILL && e.cpu_spent)) return rejected("the re-play ran past its CPU-time limit");
    if (e.signal != 0) {
        const char* name = sigdescr_np(e.signal);
        return fault("the re-play ended by signal " + std::to_string(e.signal) + (name ? std::string(" (") + name + ")" : ""));
    }
    if (e.exit_status == exec_failed) return {verdict::kind::worker_fault, "the verifier program could not be started"};
    nlohmann::json j;
    try {
        j = nlohmann::json::parse(output);
    } catch (const std::exception&) {
        // Ended in failure without its answer (an abort handler's exit): it never got to judge.
        if (e.exit_status != 0) return fault("the re-play ended with status " + std::to_string(e.exit_status) + " without a verdict");
        return rejected("the re-play gave no readable verdict");
    }
    if (!j.is_object()) return rejected("the re-play gave no readable verdict");
    const std::string reason = j.contains("reason") && j["reason"].is_string() ? j["reason"].get<std::string>() : "";
    // Bad usage or files it could not read: the worker's doing, not the replay's.
    if (e.exit_status == usage_failed)
        return fault("the re-play could not run" + (reason.empty() ? std::string() : ": " + reason));
    if (e.exit_status != 0 || !j.value("verified", false))
        return rejected(reason.empty() ? "the re-play does not reach the recorded results" : reason);
    if (!j.contains("stage") || !j["stage"].is_string() || j["stage"].get<std::string>() != s.stage_hash)
        return rejected("the re-play played another stage");
    if (!j.contains("runs") || !j["runs"].is_array()) return rejected("the re-play listed no runs");
    const nlohmann::json& runs = j["runs"];
    if (runs.size() != s.claimed.size())
        return rejected("the re-play finished " + std::to_string(runs.size()) + " runs, the replay claims " +
                        std::to_string(s.claimed.size()));
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const claimed_run& c = s.claimed[i];
        const nlohmann::json& r = runs[i];
        if (!r.is_object()) return rejected("the re-play's runs are not readable");
        const auto number = [&](const char* key) -> long long {
            return r.contains(key) && r[key].is_number_integer() ? r[key].get<long long>() : -1;
        };
        const std::string run = "run " + std::to_string(c.run);
        if (number("hits") != c.hits || number("score") != c.score)
            return rejected(run + ": the re-play gives " + std::to_string(number("hits")) + " hits and score " +
                            std::to_string(number("score")) + ", the replay claims " + std::to_string(c.hits) +
                            " hits and score " + std::to_string(c.score));
        if (number("updates") != static_cast<long long>(c.updates))
            return rejected(run + ": the re-play reaches its result after " + std::to_string(number("updates")) +
                            " updates, the replay claims " + std::to_string(c.updates));
    }
    verdict v{verdict::kind::verified, ""};
    if (j.contains("logic_version") && j["logic_version"].is_number_unsigned() && j["logic_version"].get<std::uint64_t>() <= INT32_MAX)
        v.logic_version = std::to_string(j["logic_version"].get<std::uint64_t>());
    return v;
}

namespace {

// In the forked child: only async-signal-safe calls, the server has threads.
[[noreturn]] void become_verifier(const char* const* argv, int out, int exec_error, const verify_limits& lim) {
    // A worker killed mid-job takes its re-play with it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    dup2(out, 1);
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
        dup2(null, 0);
        dup2(null, 2);
    }
    // Keeps the errno pipe open past the range closed below.
    const int report = dup3(exec_error, 3, O_CLOEXEC) == 3 ? 3 : -1;
    syscall(SYS_close_range, 4u, ~0u, 0u);
    const rlimit cpu{static_cast<rlim_t>(lim.cpu_seconds), static_cast<rlim_t>(lim.cpu_seconds + 1)};
    setrlimit(RLIMIT_CPU, &cpu);
    if (address_space_limited) {
        const rlimit as{lim.memory_bytes, lim.memory_bytes};
        setrlimit(RLIMIT_AS, &as);
    }
    const rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    execv(argv[0], const_cast<char* const*>(argv));
    const int e = errno;
    if (report >= 0) (void)!write(report, &e, sizeof e);
    _exit(exec_failed);
}

// The child's errno when its exec failed, 0 when it ran.
int exec_errno_of(int exec_error) {
    int e = 0;
    ssize_t got;
    while ((got = read(exec_error, &e, sizeof e)) < 0 && errno == EINTR) {
    }
    close(exec_error);
    return got == static_cast<ssize_t>(sizeof e) ? e : 0;
}

// The child's output up to its end or the deadline (then timed_out).
std::string read_output(int out, std::chrono::steady_clock::time_point deadline, child_end& end) {
    std::string output;
    while (end.exec_errno == 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            end.timed_out = true;
            break;
        }
        pollfd p{out, POLLIN, 0};
        const int n = poll(&p, 1, static_cast<int>(std::min<long long>(left, 1000)));
        if (n < 0 && errno != EINTR) break;
        if (n <= 0) continue;
        char buf[8192];
        const ssize_t got = read(out, buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        if (output.size() < output_limit) output.append(buf, static_cast<std::size_t>(got));
    }
    close(out);
    return output;
}

// Waits for the child; one that closed its output and lives on is stopped
// at the deadline. False when waiting itself failed.
bool reap(pid_t pid, std::chrono::steady_clock::time_point deadline, child_end& end, int& status, rusage& usage) {
    if (end.timed_out) kill(pid, SIGKILL);
    for (;;) {
        const pid_t w = wait4(pid, &status, end.timed_out ? 0 : WNOHANG, &usage);
        if (w == pid) return true;
        if (w < 0 && errno != EINTR) return false;
        if (w == 0) {
            if (std::chrono::steady_clock::now() >= deadline) {
                kill(pid, SIGKILL);
                end.timed_out = true;
            } else {
                poll(nullptr, 0, 10);
            }
        }
    }
}

}  // namespace

verdict verify_session(const std::string& verifier, const session_files& s, const verify_limits& lim) {
    int out[2], exec_error[2];
    if (pipe2(out, O_CLOEXEC) != 0) return worker_fault("pipe");
    // Closed by a successful exec; the child's errno when it fails.
    if (pipe2(exec_error, O_CLOEXEC) != 0) {
        const verdict v = worker_fault("pipe");
        close(out[0]);
        close(out[1]);
        return v;
    }
    const std::string max_updates = std::to_string(lim.max_updates);
    const std::string claims = claims_text(s.claimed);
    const char* argv[] = {verifier.c_str(), s.stage_path.c_str(), s.replay_path.c_str(), "--max-updates", max_updates.c_str(),
                          "--claims", claims.c_str(), nullptr};
    const pid_t pid = fork();
    if (pid < 0) {
        const verdict v = worker_fault("fork");
        for (int fd : {out[0], out[1], exec_error[0], exec_error[1]}) close(fd);
        return v;
    }
    if (pid == 0) become_verifier(argv, out[1], exec_error[1], lim);
    close(out[1]);
    close(exec_error[1]);
    child_end end;
    end.exec_errno = exec_errno_of(exec_error[0]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(lim.wall_seconds);
    const std::string output = read_output(out[0], deadline, end);
    int status = 0;
    rusage usage{};
    if (!reap(pid, deadline, end, status, usage)) return worker_fault("wait4");
    const auto ms = [](const timeval& t) { return static_cast<std::int64_t>(t.tv_sec) * 1000 + t.tv_usec / 1000; };
    const std::int64_t cpu_ms = ms(usage.ru_utime) + ms(usage.ru_stime);
    end.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    end.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    end.cpu_spent = cpu_ms >= static_cast<std::int64_t>(lim.cpu_seconds) * 1000;
    verdict v = judge(end, output, s);
    v.cpu_ms = cpu_ms;
    return v;
}

}  // namespace server
