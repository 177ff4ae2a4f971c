#include "server/recordings.hpp"

#include <chromaprint.h>

#include <algorithm>
#include <bitset>
#include <limits>

#include <nlohmann/json.hpp>

#include "server/answers.hpp"
#include "server/statements.hpp"

namespace server {
namespace {

using json = nlohmann::json;

// Far more versions of one song than any player asks for.
constexpr int most_stages = 50;
// The stages of one length are read at most this many at a time.
constexpr int most_candidates = 2000;

}  // namespace

std::optional<std::vector<std::uint32_t>> decode_fingerprint(const std::string& text) {
    if (text.empty() || text.size() > (16u << 10)) return std::nullopt;
    std::uint32_t* items = nullptr;
    int size = 0, algorithm = 0;
    if (!chromaprint_decode_fingerprint(text.data(), static_cast<int>(text.size()), &items, &size, &algorithm, 1) ||
        items == nullptr) {
        return std::nullopt;
    }
    std::vector<std::uint32_t> out(items, items + std::max(0, size));
    chromaprint_dealloc(items);
    if (out.empty()) return std::nullopt;
    return out;
}

bool same_recording(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b) {
    double best = 1.0;
    for (int shift = -shift_items; shift <= shift_items; ++shift) {
        // a[i] against b[i + shift].
        const std::size_t from = static_cast<std::size_t>(std::max(0, -shift));
        const long long to_signed = std::min<long long>(static_cast<long long>(a.size()),
                                                        static_cast<long long>(b.size()) - shift);
        if (to_signed <= 0 || static_cast<std::size_t>(to_signed) <= from) continue;
        const std::size_t to = static_cast<std::size_t>(to_signed);
        if (to - from < overlap_items) continue;
        std::size_t differing = 0;
        for (std::size_t i = from; i < to; ++i)
            differing += std::bitset<32>(a[i] ^ b[static_cast<std::size_t>(static_cast<long long>(i) + shift)]).count();
        best = std::min(best, static_cast<double>(differing) / (32.0 * static_cast<double>(to - from)));
    }
    return best < 0.10;
}

void answer_recordings(const http::request& req, http::response& res, database& reads) {
    const std::optional<std::vector<std::uint32_t>> mine = decode_fingerprint(req.param("fingerprint"));
    if (!mine) return fail(res, 400, "invalid_fingerprint", "fingerprint must be a Chromaprint fingerprint as text");
    const std::string t = req.param("length_ms");
    const bool digits = !t.empty() && t.size() <= 9 && t.find_first_not_of("0123456789") == std::string::npos;
    if (!digits) return fail(res, 400, "invalid_length", "length_ms must be a whole number of milliseconds");
    const std::int64_t length = std::stoll(t);
    json stages = json::array();
    reads.read([&](pqxx::transaction_base& w) {
        const pqxx::result rows = run(w, sql::recordings_near, length - length_slack_ms, length + length_slack_ms, most_candidates);
        std::string last_hash;
        bool last_matched = false;
        for (const pqxx::row& r : rows) {
            const std::string hash = r[0].as<std::string>();
            // A stage's boards in several editions share one comparison.
            if (hash != last_hash) {
                const std::optional<std::vector<std::uint32_t>> theirs = decode_fingerprint(r[6].as<std::string>());
                last_matched = theirs && same_recording(*mine, *theirs);
                last_hash = hash;
            }
            if (!last_matched || stages.size() >= static_cast<std::size_t>(most_stages)) continue;
            stages.push_back({{"stage", hash}, {"edition", r[1].as<std::string>()}, {"difficulty", r[2].as<std::string>()},
                              {"title", r[3].as<std::string>()}, {"artist", r[4].as<std::string>()},
                              {"length_ms", r[5].as<std::int64_t>()}, {"players", r[7].as<std::int64_t>()}});
        }
    });
    res.status = 200;
    res.set_content(json{{"stages", stages}}.dump(), "application/json");
}

}  // namespace server
