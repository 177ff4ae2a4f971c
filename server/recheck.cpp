#include "server/recheck.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <sstream>

#include "server/board_edits.hpp"
#include "server/statements.hpp"

namespace server {

job_outcome settle_recheck(pqxx::work& w, const recheck_job& job, const verdict& v, const worker_options& o) {
    const std::string text = "session " + std::to_string(job.session);
    if (v.outcome == verdict::kind::fault) {
        const int attempts = job.attempts + 1;
        if (attempts >= o.attempts) {
            run(w, sql::recheck_fault, job.session, v.reason);
            w.commit();
            std::fprintf(stderr, "velmora_server: worker: %s could not be verified again in %d attempts, kept as it was: %s\n",
                         text.c_str(), attempts, v.reason.c_str());
            return job_outcome::unverified;
        }
        auto wait = o.retry_after;
        for (int i = 1; i < attempts; ++i) wait = std::min(wait * 4, std::chrono::milliseconds{3600 * 1000});
        run(w, sql::recheck_retry, job.session, v.reason, attempts, static_cast<std::int64_t>(wait.count()) * 1000);
        w.commit();
        return job_outcome::left_pending;
    }
    const bool verified = v.outcome == verdict::kind::verified;
    // Readers of this process skip the board's kept rows until the commit.
    board_write writing(job.board);
    lock_player(w, job.player);
    run(w, sql::session_rechecked, job.session, verified ? "verified" : "rejected", v.reason,
        v.logic_version.empty() ? nullptr : v.logic_version.c_str());
    if (!verified) refresh_best(w, job.player, job.board);
    w.commit();
    if (!verified)
        std::fprintf(stderr, "velmora_server: worker: %s no longer verifies and is hidden: %s\n", text.c_str(), v.reason.c_str());
    return verified ? job_outcome::verified : job_outcome::rejected;
}

std::string verifier_logic_version(const std::string& program, std::string& why) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        why = "cannot make a pipe";
        return {};
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) dup2(null, 2);
        execl(program.c_str(), program.c_str(), "--version", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buf[512];
    ssize_t n;
    while (pid > 0 && text.size() < 65536 && ((n = read(out[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)))
        if (n > 0) text.append(buf, static_cast<std::size_t>(n));
    close(out[0]);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        why = "the verifier " + program + " did not answer --version";
        return {};
    }
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const std::string key = "logic_version ";
        if (line.rfind(key, 0) != 0) continue;
        const std::string digits = line.substr(key.size());
        if (!digits.empty() && digits.size() <= 9 && digits.find_first_not_of("0123456789") == std::string::npos) return digits;
    }
    why = "the verifier " + program + " names no logic version in its --version";
    return {};
}

}  // namespace server
