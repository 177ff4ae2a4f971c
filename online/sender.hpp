#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "library/submissions.hpp"
#include "online/account.hpp"
#include "online/client.hpp"

// Sending the queued sessions to the scoreboard server and keeping its
// answers, once (velmora_play --submit) or on a thread of its own (the
// library screen, which never waits for it).
namespace online {

struct send_report {
    std::size_t sent = 0;     // taken by the server this time
    std::size_t answered = 0; // pending sessions the server has a verdict on now
    std::size_t waiting = 0;  // still queued: offline, 5xx or 429
    std::vector<std::string> problems;
};

// Sends every queued session for the account's server (only those due for
// another try unless `all`), then asks after the pending ones. A server
// that cannot take one now leaves it queued with its next try doubled; one
// that refuses it for good marks it rejected with its reason. `stop` is read
// between sessions.
send_report send_queue(library::song_library& library, const account& a, std::int64_t now, bool all,
                       const limits& l = {}, const std::atomic<bool>* stop = nullptr);

// A thread that sends the queue at its start, when woken (after a session)
// and every `period_s` while something is queued or pending.
class background_sender {
public:
    background_sender(library::song_library& library, account a, int period_s = 15);
    ~background_sender();
    background_sender(const background_sender&) = delete;
    background_sender& operator=(const background_sender&) = delete;

    void wake();
    // Bumped whenever a pass changed a state, so a screen knows to read again.
    std::uint64_t changes() const { return changes_.load(); }

private:
    void run();

    library::song_library& library_;
    account account_;
    int period_s_;
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> changes_{0};
    std::mutex lock_;
    std::condition_variable woken_;
    bool wake_ = true;
    std::thread thread_;
};

}  // namespace online
