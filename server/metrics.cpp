#include "server/metrics.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace server {
namespace {

constexpr auto relaxed = std::memory_order_relaxed;

std::string number(double v) {
    if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
    // The shortest of the two that reads back as v: "0.05", not "0.050000000000000003".
    char text[40];
    std::snprintf(text, sizeof text, "%.15g", v);
    if (std::strtod(text, nullptr) != v) std::snprintf(text, sizeof text, "%.17g", v);
    return text;
}

std::string joined(const std::string& labels, const std::string& more) {
    if (labels.empty()) return more;
    return labels + "," + more;
}

double seconds_of(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

const std::vector<double> request_bounds = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10};
const std::vector<double> verify_bounds = {0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60, 120};

}  // namespace

histogram::histogram(std::vector<double> bounds) : bounds_(std::move(bounds)), counts_(bounds_.size() + 1) {}

histogram::histogram(const histogram& o) : bounds_(o.bounds_), counts_(o.bounds_.size() + 1) {}

void histogram::observe(double seconds) {
    const std::size_t i = static_cast<std::size_t>(std::lower_bound(bounds_.begin(), bounds_.end(), seconds) - bounds_.begin());
    counts_[i].fetch_add(1, relaxed);
    sum_us_.fetch_add(static_cast<std::uint64_t>(std::max(0.0, seconds) * 1e6), relaxed);
}

void histogram::write(std::string& out, const std::string& name, const std::string& labels) const {
    std::uint64_t total = 0;
    for (std::size_t i = 0; i <= bounds_.size(); ++i) {
        total += counts_[i].load(relaxed);
        const double le = i < bounds_.size() ? bounds_[i] : INFINITY;
        write_sample(out, name + "_bucket", joined(labels, "le=\"" + number(le) + "\""), static_cast<double>(total));
    }
    write_sample(out, name + "_sum", labels, static_cast<double>(sum_us_.load(relaxed)) / 1e6);
    write_sample(out, name + "_count", labels, static_cast<double>(total));
}

void write_family(std::string& out, const char* name, const char* type, const char* help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void write_sample(std::string& out, const std::string& name, const std::string& labels, double value) {
    out += name;
    if (!labels.empty()) out += "{" + labels + "}";
    out += ' ';
    out += number(value);
    out += '\n';
}

metrics::metrics()
    : routes_{"none"},
      statuses_{200, 201, 202, 304, 400, 401, 404, 405, 409, 413, 414, 415, 422, 429, 431, 500, 503},
      reasons_{"rate_limited", "too_many_players", "verification_budget", "payload_too_large", "stage_too_large",
               "replay_too_large", "uri_too_long", "headers_too_large", "server_busy", "database_unavailable",
               "connection_cap", "unauthorized", "bad_request", "invalid_json", "unknown_part", "duplicate_part",
               "missing_part", "invalid_limit", "invalid_fingerprint", "invalid_length", "not_found", "unknown_edition",
               "unknown_difficulty", "method_not_allowed", "name_taken", "replay_taken", "copied_run",
               "unsupported_media_type", "invalid_name", "invalid_stage", "invalid_replay", "stage_mismatch",
               "no_finished_run", "session_too_long", "invalid_field", "label_mismatch", "internal_error", "other"},
      requests_((most_routes + 1) * (statuses_.size() + 1)),
      latency_(most_routes + 1, histogram(request_bounds)),
      refusals_(reasons_.size()),
      outcomes_{"verified", "rejected", "retried", "unverified", "worker_fault"},
      verifications_(outcomes_.size()),
      verify_time_(verify_bounds) {}

void metrics::name_routes(const std::vector<std::string>& labels) {
    routes_.assign(labels.begin(), labels.begin() + static_cast<std::ptrdiff_t>(std::min(labels.size(), most_routes)));
    routes_.push_back("none");
}

std::size_t metrics::status_slot(int status) const {
    const auto it = std::find(statuses_.begin(), statuses_.end(), status);
    return static_cast<std::size_t>(it - statuses_.begin());  // statuses_.size(): other
}

std::size_t metrics::reason_slot(const std::string& code) const {
    const auto it = std::find(reasons_.begin(), reasons_.end(), code);
    return it == reasons_.end() ? reasons_.size() - 1 : static_cast<std::size_t>(it - reasons_.begin());
}

void metrics::answered(int route, int status, const std::string& error, std::chrono::steady_clock::duration took) {
    const std::size_t named = routes_.size() - 1;
    const std::size_t r = route >= 0 && static_cast<std::size_t>(route) < named ? static_cast<std::size_t>(route) : named;
    requests_[r * (statuses_.size() + 1) + status_slot(status)].fetch_add(1, relaxed);
    latency_[r].observe(seconds_of(took));
    if (!error.empty()) refusals_[reason_slot(error)].fetch_add(1, relaxed);
}

void metrics::connection_refused() { refusals_[reason_slot("connection_cap")].fetch_add(1, relaxed); }

void metrics::verification(const char* outcome, std::chrono::steady_clock::duration took) {
    const auto it = std::find(outcomes_.begin(), outcomes_.end(), outcome);
    if (it == outcomes_.end()) return;
    verifications_[static_cast<std::size_t>(it - outcomes_.begin())].fetch_add(1, relaxed);
    // A worker that could not run the re-play timed nothing of one.
    if (*it != "worker_fault") verify_time_.observe(seconds_of(took));
}

std::vector<std::pair<std::string, std::uint64_t>> metrics::refusal_counts() const {
    std::vector<std::pair<std::string, std::uint64_t>> out;
    for (std::size_t i = 0; i < reasons_.size(); ++i) out.emplace_back(reasons_[i], refusals_[i].load(relaxed));
    return out;
}

std::string metrics::text() const {
    std::string out;
    out.reserve(16384);
    const auto route_label = [&](std::size_t r) { return "route=\"" + routes_[r] + "\""; };
    write_family(out, "velmora_http_requests_total", "counter", "Requests answered, by route pattern and status.");
    for (std::size_t r = 0; r < routes_.size(); ++r)
        for (std::size_t s = 0; s <= statuses_.size(); ++s) {
            const std::uint64_t n = requests_[r * (statuses_.size() + 1) + s].load(relaxed);
            if (n == 0) continue;
            const std::string status = s < statuses_.size() ? std::to_string(statuses_[s]) : "other";
            write_sample(out, "velmora_http_requests_total", route_label(r) + ",status=\"" + status + "\"", static_cast<double>(n));
        }
    write_family(out, "velmora_http_request_duration_seconds", "histogram",
                 "Time from a request read whole (its head, when refused before its body) to its answer handed to the connection, by route pattern.");
    for (std::size_t r = 0; r < routes_.size(); ++r) latency_[r].write(out, "velmora_http_request_duration_seconds", route_label(r));
    write_family(out, "velmora_http_refusals_total", "counter",
                 "Requests refused, by the error code answered (connection_cap: closed unanswered past a connection cap).");
    for (std::size_t i = 0; i < reasons_.size(); ++i)
        write_sample(out, "velmora_http_refusals_total", "reason=\"" + reasons_[i] + "\"", static_cast<double>(refusals_[i].load(relaxed)));
    write_family(out, "velmora_verifications_total", "counter", "Re-plays by this process's workers, by what came of them.");
    for (std::size_t i = 0; i < outcomes_.size(); ++i)
        write_sample(out, "velmora_verifications_total", "outcome=\"" + outcomes_[i] + "\"",
                     static_cast<double>(verifications_[i].load(relaxed)));
    write_family(out, "velmora_verification_duration_seconds", "histogram",
                 "Wall-clock time of each re-play run by this process's workers.");
    verify_time_.write(out, "velmora_verification_duration_seconds", "");
    return out;
}

metrics& server_metrics() {
    static metrics m;
    return m;
}

}  // namespace server
