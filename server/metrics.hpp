#pragma once
#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// What an operator watches, counted as it happens and written in
// Prometheus' text format (0.0.4) for GET /metrics. Every count is an
// atomic, so a request costs a few relaxed additions and no lock; the
// routes are named once, before the server takes requests.
namespace server {

// A histogram of fixed bounds (seconds), each bucket its own atomic.
class histogram {
public:
    explicit histogram(std::vector<double> bounds);
    histogram(const histogram& o);
    void observe(double seconds);
    // The family's sample lines: name_bucket{labels,le=...}, name_sum, name_count.
    void write(std::string& out, const std::string& name, const std::string& labels) const;

private:
    std::vector<double> bounds_;
    std::vector<std::atomic<std::uint64_t>> counts_;  // one a bound, and +Inf last
    std::atomic<std::uint64_t> sum_us_{0};
};

class metrics {
public:
    metrics();

    // The routes' labels ("GET /v1/health"), by the index a request's
    // route carries; before any request is counted.
    void name_routes(const std::vector<std::string>& labels);

    // An answer: its route (-1 for a request no route took), status, the
    // refusal's code when it is one ("" else) and its time from head to answer.
    void answered(int route, int status, const std::string& error, std::chrono::steady_clock::duration took);
    // A connection closed unanswered as it came, past a connection cap.
    void connection_refused();
    // A re-play's wall-clock time and what came of it ("verified",
    // "rejected", "retried", "unverified", "worker_fault").
    void verification(const char* outcome, std::chrono::steady_clock::duration took);

    // Each refusal code and its count so far, in a fixed order.
    std::vector<std::pair<std::string, std::uint64_t>> refusal_counts() const;

    // The counted families as exposition text.
    std::string text() const;

    static constexpr std::size_t most_routes = 32;

private:
    std::size_t status_slot(int status) const;
    std::size_t reason_slot(const std::string& code) const;

    std::vector<std::string> routes_;  // routes_[i] for route i; "none" last
    std::vector<int> statuses_;        // the statuses counted one by one; others as "other"
    std::vector<std::string> reasons_; // refusal codes counted one by one; others as "other"
    std::vector<std::atomic<std::uint64_t>> requests_;  // route x status
    std::vector<histogram> latency_;                    // by route
    std::vector<std::atomic<std::uint64_t>> refusals_;  // by reason
    std::vector<std::string> outcomes_;
    std::vector<std::atomic<std::uint64_t>> verifications_;  // by outcome
    histogram verify_time_;
};

// The process's one set.
metrics& server_metrics();

// Exposition helpers for figures read when the text is written.
void write_family(std::string& out, const char* name, const char* type, const char* help);
void write_sample(std::string& out, const std::string& name, const std::string& labels, double value);

}  // namespace server
