#pragma once
#include <chrono>
#include <atomic>
#include <condition_variable>
#include <optional>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <pqxx/pqxx>

// The one place that opens connections to PostgreSQL. A pool of them, each
// used by one request at a time in one transaction; while the database is
// away, callers are told at once when to try again (with a back-off between
// connection attempts) instead of waiting for it.
namespace server {

// The database cannot be reached now; try again after retry_after seconds.
struct unavailable : std::runtime_error {
    unavailable(const std::string& what, int retry) : std::runtime_error(what), retry_after(retry) {}
    int retry_after;
};

// Makes a connection for url with the server's session settings (a
// statement time-out); throws pqxx::broken_connection when it cannot.
std::unique_ptr<pqxx::connection> open_connection(const std::string& url);

// The one policy for waiting on a database that is away, for the pools,
// the start-up migration and every worker alike: 0.1 s before the first
// attempt again, doubling to 4 s.
class back_off {
public:
    static constexpr std::chrono::milliseconds first{100};
    static constexpr std::chrono::milliseconds longest{4000};
    // The wait before the next attempt; each call doubles the one after.
    std::chrono::milliseconds next();
    // The last wait given (0 before any).
    std::chrono::milliseconds last() const { return wait_; }
    void reset() { wait_ = std::chrono::milliseconds{0}; }

private:
    std::chrono::milliseconds wait_{0};
};

// Runs job on a connection of its own to url, again on a new connection
// after a failure that `retried` takes for the database's (waiting the
// back-off between attempts), until job returns, stop is set or the next
// attempt would start past give_up; a failure `retried` refuses is thrown
// on. An outage is logged once as it starts (who names the job) and once
// when a connection is made again. False when it gave up or was stopped.
bool keep_connected(const std::string& url, const char* who, const std::function<bool(const std::exception&)>& retried,
                    const std::atomic<bool>& stop, std::chrono::steady_clock::time_point give_up,
                    const std::function<void(pqxx::connection&)>& job);

// A pool's connections now: the most it opens, those open, those idle among them.
struct pool_figures {
    std::size_t size = 0, open = 0, idle = 0;
};

class database {
public:
    // prepare runs on every new connection (the store's prepared statements).
    // name is the pool's in the log ("primary", "read").
    database(std::string url, std::size_t connections, std::function<void(pqxx::connection&)> prepare = {},
             std::string name = "primary");

    // Runs body in one transaction and commits it. A lost connection or a
    // database that does not answer throws unavailable (and nothing of body
    // is kept); any other error of body is passed on after a rollback.
    void transact(const std::function<void(pqxx::work&)>& body);

    // Runs body's reads without a transaction of their own: one statement,
    // one round trip. Failures as for transact.
    void read(const std::function<void(pqxx::transaction_base&)>& body);

    // Whether the database answers a query now.
    bool healthy();

    pool_figures figures();

private:
    template <class Transaction, class Body>
    void run(const Body& body);
    std::unique_ptr<pqxx::connection> acquire();
    void release(std::unique_ptr<pqxx::connection> c, bool broken);
    int retry_after_locked(std::chrono::steady_clock::time_point now) const;
    // Marks the pool down; true when it was up (an outage to log).
    bool went_down_locked();

    const std::string url_;
    const std::size_t size_;
    const std::function<void(pqxx::connection&)> prepare_;
    std::mutex mutex_;
    std::condition_variable returned_;
    std::vector<std::unique_ptr<pqxx::connection>> idle_;
    std::size_t open_ = 0;  // idle and lent
    std::chrono::steady_clock::time_point next_attempt_{};
    back_off back_off_;
    const std::string name_;
    std::optional<std::chrono::steady_clock::time_point> down_since_;  // logged as away since
};

}  // namespace server
