#include "server/database.hpp"

#include <algorithm>
#include <thread>

#include "server/log.hpp"
#include "server/statements.hpp"

namespace server {
namespace {

// A request waits this long for a pooled connection before it is told to come back.
constexpr std::chrono::seconds pool_wait{3};

}  // namespace

std::unique_ptr<pqxx::connection> open_connection(const std::string& url) {
    auto c = std::make_unique<pqxx::connection>(url);
    pqxx::nontransaction n(*c);
    run(n, sql::session_settings);
    return c;
}

constexpr std::chrono::milliseconds back_off::first;
constexpr std::chrono::milliseconds back_off::longest;

std::chrono::milliseconds back_off::next() {
    wait_ = wait_.count() == 0 ? first : std::min(longest, wait_ * 2);
    return wait_;
}

namespace {

std::string elapsed_ms(std::chrono::steady_clock::time_point since) {
    return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count());
}

void sleep_unless_stopped(std::chrono::milliseconds d, const std::atomic<bool>& stop) {
    const auto until = std::chrono::steady_clock::now() + d;
    while (!stop && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

}  // namespace

bool keep_connected(const std::string& url, const char* who, const std::function<bool(const std::exception&)>& retried,
                    const std::atomic<bool>& stop, std::chrono::steady_clock::time_point give_up,
                    const std::function<void(pqxx::connection&)>& job) {
    back_off wait;
    std::optional<std::chrono::steady_clock::time_point> down_since;
    while (!stop) {
        bool connecting = true;
        try {
            std::unique_ptr<pqxx::connection> c = open_connection(url);
            connecting = false;
            if (down_since) log_event("database_recovered", {{"job", who}, {"down_ms", elapsed_ms(*down_since)}});
            down_since.reset();
            wait.reset();
            job(*c);
            return true;
        } catch (const std::exception& e) {
            if (!retried(e)) throw;
            const auto pause = wait.next();
            const bool last = std::chrono::steady_clock::now() + pause > give_up;
            if (!connecting && !dynamic_cast<const pqxx::broken_connection*>(&e)) {
                // The job's own failure, on a database that answers.
                log_event("job_failed", {{"job", who}, {"retry_ms", std::to_string(pause.count())}, {"error", e.what()}});
            } else if (!down_since) {
                down_since = std::chrono::steady_clock::now();
                log_event("database_unavailable", {{"job", who}, {"error", e.what()}});
            }
            if (last) {
                log_event("gave_up", {{"job", who}, {"down_ms", down_since ? elapsed_ms(*down_since) : "0"}, {"error", e.what()}});
                return false;
            }
            sleep_unless_stopped(pause, stop);
        }
    }
    return false;
}

database::database(std::string url, std::size_t connections, std::function<void(pqxx::connection&)> prepare, std::string name)
    : url_(std::move(url)), size_(std::max<std::size_t>(1, connections)), prepare_(std::move(prepare)), name_(std::move(name)) {}

bool database::went_down_locked() {
    if (down_since_) return false;
    down_since_ = std::chrono::steady_clock::now();
    return true;
}

pool_figures database::figures() {
    std::lock_guard<std::mutex> lock(mutex_);
    return {size_, open_, idle_.size()};
}

int database::retry_after_locked(std::chrono::steady_clock::time_point now) const {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next_attempt_ - now).count();
    return static_cast<int>(std::max<long long>(1, (left + 999) / 1000));
}

std::unique_ptr<pqxx::connection> database::acquire() {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto deadline = std::chrono::steady_clock::now() + pool_wait;
    for (;;) {
        if (!idle_.empty()) {
            auto c = std::move(idle_.back());
            idle_.pop_back();
            return c;
        }
        const auto now = std::chrono::steady_clock::now();
        if (open_ < size_) {
            if (now < next_attempt_) throw unavailable("the database is not reachable", retry_after_locked(now));
            ++open_;
            lock.unlock();
            try {
                auto c = open_connection(url_);
                if (prepare_) prepare_(*c);
                lock.lock();
                back_off_.reset();
                std::string down_ms;
                if (down_since_) down_ms = elapsed_ms(*down_since_);
                down_since_.reset();
                lock.unlock();
                // Logged outside the lock: a slow log must not hold the pool.
                if (!down_ms.empty()) log_event("database_recovered", {{"pool", name_}, {"down_ms", down_ms}});
                return c;
            } catch (const std::exception& e) {
                lock.lock();
                --open_;
                next_attempt_ = std::chrono::steady_clock::now() + back_off_.next();
                const bool went_down = went_down_locked();
                const int retry = retry_after_locked(now);
                returned_.notify_all();
                lock.unlock();
                if (went_down) log_event("database_unavailable", {{"pool", name_}, {"error", e.what()}});
                throw unavailable(std::string("the database is not reachable: ") + e.what(), retry);
            }
        }
        if (returned_.wait_until(lock, deadline) == std::cv_status::timeout)
            throw unavailable("every database connection is busy", 1);
    }
}

void database::release(std::unique_ptr<pqxx::connection> c, bool broken) {
    bool went_down = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (broken || !c->is_open()) {
            // The others were opened to the same server and are likely gone too.
            open_ -= 1 + idle_.size();
            idle_.clear();
            if (back_off_.last().count() == 0) back_off_.next();
            next_attempt_ = std::chrono::steady_clock::now() + back_off::first;
            went_down = went_down_locked();
            returned_.notify_all();
        } else {
            idle_.push_back(std::move(c));
            // One connection back serves one waiter; waking all would have them
            // fight for the lock to find one.
            returned_.notify_one();
        }
    }
    if (went_down) log_event("database_unavailable", {{"pool", name_}, {"error", "a connection was lost"}});
}

template <class Transaction, class Body>
void database::run(const Body& body) {
    std::unique_ptr<pqxx::connection> c = acquire();
    try {
        {
            Transaction w(*c);
            body(w);
            w.commit();
        }
        release(std::move(c), false);
    } catch (const pqxx::broken_connection& e) {
        release(std::move(c), true);
        throw unavailable(std::string("the database connection was lost: ") + e.what(), 1);
    } catch (const pqxx::in_doubt_error& e) {
        release(std::move(c), true);
        throw unavailable(std::string("the database connection was lost at commit: ") + e.what(), 1);
    } catch (const pqxx::sql_error& e) {
        // 57P01..57P03: the server shuts down or cannot take connections now.
        const bool going = e.sqlstate().compare(0, 3, "57P") == 0;
        const bool timed_out = e.sqlstate() == "57014";
        release(std::move(c), going);
        if (going || timed_out) throw unavailable(std::string("the database stopped answering: ") + e.what(), 1);
        throw;
    } catch (...) {
        release(std::move(c), false);
        throw;
    }
}

void database::transact(const std::function<void(pqxx::work&)>& body) { run<pqxx::work>(body); }

void database::read(const std::function<void(pqxx::transaction_base&)>& body) { run<pqxx::nontransaction>(body); }

bool database::healthy() {
    try {
        read([](pqxx::transaction_base& t) { server::run(t, sql::health); });
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace server
