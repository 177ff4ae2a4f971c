#include "server/database.hpp"

#include <algorithm>

#include "server/statements.hpp"

namespace server {
namespace {

constexpr std::chrono::milliseconds first_back_off{100};
constexpr std::chrono::milliseconds longest_back_off{4000};
// A request waits this long for a pooled connection before it is told to come back.
constexpr std::chrono::seconds pool_wait{3};

}  // namespace

std::unique_ptr<pqxx::connection> open_connection(const std::string& url) {
    auto c = std::make_unique<pqxx::connection>(url);
    pqxx::nontransaction n(*c);
    run(n, sql::session_settings);
    return c;
}

database::database(std::string url, std::size_t connections, std::function<void(pqxx::connection&)> prepare)
    : url_(std::move(url)), size_(std::max<std::size_t>(1, connections)), prepare_(std::move(prepare)) {}

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
                back_off_ = std::chrono::milliseconds{0};
                return c;
            } catch (const std::exception& e) {
                lock.lock();
                --open_;
                back_off_ = std::min(longest_back_off, back_off_.count() == 0 ? first_back_off : back_off_ * 2);
                next_attempt_ = std::chrono::steady_clock::now() + back_off_;
                returned_.notify_all();
                throw unavailable(std::string("the database is not reachable: ") + e.what(), retry_after_locked(now));
            }
        }
        if (returned_.wait_until(lock, deadline) == std::cv_status::timeout)
            throw unavailable("every database connection is busy", 1);
    }
}

void database::release(std::unique_ptr<pqxx::connection> c, bool broken) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (broken || !c->is_open()) {
        // The others were opened to the same server and are likely gone too.
        open_ -= 1 + idle_.size();
        idle_.clear();
        if (back_off_.count() == 0) back_off_ = first_back_off;
        next_attempt_ = std::chrono::steady_clock::now() + first_back_off;
        returned_.notify_all();
    } else {
        idle_.push_back(std::move(c));
        // One connection back serves one waiter; waking all would have them
        // fight for the lock to find one.
        returned_.notify_one();
    }
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
