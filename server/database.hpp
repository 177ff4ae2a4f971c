#pragma once
#include <chrono>
#include <condition_variable>
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

class database {
public:
    // prepare runs on every new connection (the store's prepared statements).
    database(std::string url, std::size_t connections, std::function<void(pqxx::connection&)> prepare = {});

    // Runs body in one transaction and commits it. A lost connection or a
    // database that does not answer throws unavailable (and nothing of body
    // is kept); any other error of body is passed on after a rollback.
    void transact(const std::function<void(pqxx::work&)>& body);

    // Runs body's reads without a transaction of their own: one statement,
    // one round trip. Failures as for transact.
    void read(const std::function<void(pqxx::transaction_base&)>& body);

    // Whether the database answers a query now.
    bool healthy();

private:
    template <class Transaction, class Body>
    void run(const Body& body);
    std::unique_ptr<pqxx::connection> acquire();
    void release(std::unique_ptr<pqxx::connection> c, bool broken);
    int retry_after_locked(std::chrono::steady_clock::time_point now) const;

    const std::string url_;
    const std::size_t size_;
    const std::function<void(pqxx::connection&)> prepare_;
    std::mutex mutex_;
    std::condition_variable returned_;
    std::vector<std::unique_ptr<pqxx::connection>> idle_;
    std::size_t open_ = 0;  // idle and lent
    std::chrono::steady_clock::time_point next_attempt_{};
    std::chrono::milliseconds back_off_{0};
};

}  // namespace server
