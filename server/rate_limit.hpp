#pragma once
#include <chrono>
#include <mutex>
#include <string>
#include <unordered_map>

// Token buckets by key (an address, a token's hash): `rate` requests a
// second on average, `burst` at once. Kept in this process only: behind a
// load balancer each server counts its own share.
namespace server {

class rate_limiter {
public:
    rate_limiter(double rate, double burst) : rate_(rate), burst_(burst) {}

    // Takes one request; false with the seconds to wait when the key is over its rate.
    bool take(const std::string& key, int& retry_after);

private:
    struct bucket {
        double tokens;
        std::chrono::steady_clock::time_point at;
    };
    const double rate_;
    const double burst_;
    std::mutex mutex_;
    std::unordered_map<std::string, bucket> buckets_;
};

}  // namespace server
