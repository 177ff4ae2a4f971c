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
#include <chrono>
#include <cstring>

#include <nlohmann/json.hpp>

namespace server {
namespace {

constexpr std::size_t output_limit = 1u << 20;
constexpr int exec_failed = 127;

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

}  // namespace

verdict judge(int exit_status, int sig, bool timed_out, const std::string& output, const session_files& s) {
    if (timed_out) return rejected("the re-play ran past its time limit");
    if (sig == SIGXCPU || sig == SIGKILL) return rejected("the re-play ran past its CPU-time limit");
    if (sig != 0) return rejected("the re-play failed (signal " + std::to_string(sig) + ")");
    if (exit_status == exec_failed) return {verdict::kind::retry, "the verifier program could not be started"};
    nlohmann::json j;
    try {
        j = nlohmann::json::parse(output);
    } catch (const std::exception&) {
        return rejected("the re-play gave no readable verdict (status " + std::to_string(exit_status) + ")");
    }
    if (!j.is_object()) return rejected("the re-play gave no readable verdict");
    const std::string reason = j.contains("reason") && j["reason"].is_string() ? j["reason"].get<std::string>() : "";
    if (exit_status != 0 || !j.value("verified", false))
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
    return {verdict::kind::verified, ""};
}

verdict verify_session(const std::string& verifier, const session_files& s, const verify_limits& lim) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return {verdict::kind::retry, std::string("pipe: ") + std::strerror(errno)};
    const std::string max_updates = std::to_string(lim.max_updates);
    const char* argv[] = {verifier.c_str(), s.stage_path.c_str(), s.replay_path.c_str(), "--max-updates", max_updates.c_str(), nullptr};
    const pid_t pid = fork();
    if (pid < 0) {
        close(out[0]);
        close(out[1]);
        return {verdict::kind::retry, std::string("fork: ") + std::strerror(errno)};
    }
    if (pid == 0) {
        // Only async-signal-safe calls from here on: the server has threads.
        // A worker killed mid-job takes its re-play with it.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(out[1], 1);
        const int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, 0);
            dup2(null, 2);
        }
        syscall(SYS_close_range, 3u, ~0u, 0u);
        const rlimit cpu{static_cast<rlim_t>(lim.cpu_seconds), static_cast<rlim_t>(lim.cpu_seconds + 1)};
        setrlimit(RLIMIT_CPU, &cpu);
        if (address_space_limited) {
            const rlimit as{lim.memory_bytes, lim.memory_bytes};
            setrlimit(RLIMIT_AS, &as);
        }
        const rlimit no_core{0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        execv(argv[0], const_cast<char* const*>(argv));
        _exit(exec_failed);
    }
    close(out[1]);
    std::string output;
    bool timed_out = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(lim.wall_seconds);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            timed_out = true;
            break;
        }
        pollfd p{out[0], POLLIN, 0};
        const int n = poll(&p, 1, static_cast<int>(std::min<long long>(left, 1000)));
        if (n < 0 && errno != EINTR) break;
        if (n <= 0) continue;
        char buf[8192];
        const ssize_t got = read(out[0], buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        if (output.size() < output_limit) output.append(buf, static_cast<std::size_t>(got));
    }
    close(out[0]);
    if (timed_out) kill(pid, SIGKILL);
    int status = 0;
    // The output ended; the child is gone or going. A child that closed its
    // output and lives on is stopped at the deadline.
    for (;;) {
        const pid_t w = waitpid(pid, &status, timed_out ? 0 : WNOHANG);
        if (w == pid) break;
        if (w < 0 && errno != EINTR) return {verdict::kind::retry, std::string("waitpid: ") + std::strerror(errno)};
        if (w == 0) {
            if (std::chrono::steady_clock::now() >= deadline) {
                kill(pid, SIGKILL);
                timed_out = true;
            } else {
                poll(nullptr, 0, 10);
            }
        }
    }
    const int exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    const int sig = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return judge(exit_status, sig, timed_out, output, s);
}

}  // namespace server
