// The log's one-line form and the metrics' exposition text, without a server.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "server/log.hpp"
#include "server/metrics.hpp"

namespace {

TEST(ServerLog, EveryEventIsOneLineOfKeyValueFields) {
    const struct {
        std::string value, written;
    } rows[] = {
        {"12", "12"},
        {"", "\"\""},
        {"run 1: score", "\"run 1: score\""},
        {"say \"no\"", "\"say \\\"no\\\"\""},
        {"a=b", "\"a=b\""},
        {"two\nlines", "\"two\\nlines\""},
        {"tab\there", "\"tab\\x09here\""},
        {"back\\slash", "\"back\\\\slash\""},
        {"Café", "Café"},
    };
    for (const auto& row : rows) {
        const std::string line = server::log_line("verdict", {{"session", "7"}, {"reason", row.value}});
        EXPECT_EQ(line, "velmora_server: event=verdict session=7 reason=" + row.written) << row.value;
        EXPECT_EQ(line.find('\n'), std::string::npos) << row.value;
    }
}

TEST(ServerMetrics, CountsByRouteStatusAndReasonFromManyThreads) {
    server::metrics m;
    m.name_routes({"GET /a", "POST /b"});
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&m] {
            for (int i = 0; i < 1000; ++i) {
                m.answered(0, 200, "", std::chrono::microseconds(300));
                m.answered(1, 429, "rate_limited", std::chrono::milliseconds(20));
            }
        });
    for (std::thread& t : threads) t.join();
    m.answered(-1, 404, "not_found", std::chrono::microseconds(10));
    m.answered(7, 418, "teapot", std::chrono::seconds(30));  // no such route, an uncounted status and code
    m.connection_refused();
    m.verification("rejected", std::chrono::milliseconds(40));
    m.verification("worker_fault", std::chrono::milliseconds(1));
    const std::string text = m.text();
    for (const char* line : {
             "velmora_http_requests_total{route=\"GET /a\",status=\"200\"} 4000\n",
             "velmora_http_requests_total{route=\"POST /b\",status=\"429\"} 4000\n",
             "velmora_http_requests_total{route=\"none\",status=\"404\"} 1\n",
             "velmora_http_requests_total{route=\"none\",status=\"other\"} 1\n",
             "velmora_http_request_duration_seconds_bucket{route=\"GET /a\",le=\"0.0005\"} 4000\n",
             "velmora_http_request_duration_seconds_bucket{route=\"POST /b\",le=\"0.01\"} 0\n",
             "velmora_http_request_duration_seconds_bucket{route=\"POST /b\",le=\"0.025\"} 4000\n",
             "velmora_http_request_duration_seconds_sum{route=\"POST /b\"} 80\n",
             "velmora_http_request_duration_seconds_bucket{route=\"none\",le=\"10\"} 1\n",
             "velmora_http_request_duration_seconds_bucket{route=\"none\",le=\"+Inf\"} 2\n",
             "velmora_http_refusals_total{reason=\"rate_limited\"} 4000\n",
             "velmora_http_refusals_total{reason=\"connection_cap\"} 1\n",
             "velmora_http_refusals_total{reason=\"other\"} 1\n",
             "velmora_verifications_total{outcome=\"rejected\"} 1\n",
             "velmora_verifications_total{outcome=\"worker_fault\"} 1\n",
             "velmora_verification_duration_seconds_count 1\n",
             "# TYPE velmora_http_request_duration_seconds histogram\n",
         })
        EXPECT_NE(text.find(line), std::string::npos) << line << text.substr(0, 2000);
}

}  // namespace
