#include "server/rate_limit.hpp"

#include <algorithm>
#include <cmath>

namespace server {
namespace {
// Past this many keys the full buckets (idle keys) are forgotten.
constexpr std::size_t keys_kept = 100000;
}

bool rate_limiter::take(const std::string& key, int& retry_after) {
    if (rate_ <= 0) return true;
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    if (buckets_.size() >= keys_kept) {
        for (auto it = buckets_.begin(); it != buckets_.end();) {
            const double refilled = it->second.tokens + rate_ * std::chrono::duration<double>(now - it->second.at).count();
            it = refilled >= burst_ ? buckets_.erase(it) : std::next(it);
        }
    }
    auto [it, fresh] = buckets_.try_emplace(key, bucket{burst_, now});
    bucket& b = it->second;
    if (!fresh) {
        b.tokens = std::min(burst_, b.tokens + rate_ * std::chrono::duration<double>(now - b.at).count());
        b.at = now;
    }
    if (b.tokens >= 1) {
        b.tokens -= 1;
        return true;
    }
    retry_after = std::max(1, static_cast<int>(std::ceil((1 - b.tokens) / rate_)));
    return false;
}

}  // namespace server
