#include "server/recordings.hpp"

#include <chromaprint.h>

#include <algorithm>
#include <bitset>
#include <limits>
#include <set>
#include <utility>

#include <nlohmann/json.hpp>

#include "alignment/alignment.hpp"
#include "server/answers.hpp"
#include "server/statements.hpp"
#include "server/store.hpp"

namespace server {
namespace {

using json = nlohmann::json;

// Far more versions of one song than any player asks for.
constexpr int most_stages = 50;
// The stages of one length are read at most this many at a time.
constexpr int most_candidates = 2000;
// Apart from the other advisory locks' classes.
constexpr int lock_class_length = 0x7672656c;  // "vrel"
// Two stages within the slack of a third are within twice the slack of each
// other: spans this long make any two that may meet take a lock in common.
constexpr std::int64_t lock_span_ms = 2 * length_slack_ms;

std::string text_array(const std::vector<std::string>& items) {
    std::string out;
    for (const std::string& i : items) out += (out.empty() ? "" : ",") + i;
    return "{" + out + "}";
}

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

bool same_mix(std::string_view envelope, std::string_view theirs) {
    const std::optional<alignment::envelope> a = alignment::decode(envelope), b = alignment::decode(theirs);
    if (!a || !b || a->levels.empty() || b->levels.empty()) return true;
    alignment::peak_figures figures;
    const bool clear = alignment::align(*b, *a, &figures).clear;
    const bool compared = figures.peak != 0.0 || figures.standing != 0.0;
    return clear || !compared;
}

void link_recording(pqxx::work& w, const std::string& stage, bool fresh, const std::string& envelope) {
    const pqxx::result own = run(w, sql::stage_song, stage);
    if (own.empty() || own[0][1].is_null()) return;
    const std::optional<std::vector<std::uint32_t>> mine = decode_fingerprint(own[0][0].as<std::string>());
    if (!mine) return;
    const std::string my_envelope = !envelope.empty() ? envelope : stage_envelope(w, stage).value_or(std::string());
    // Another mix fingerprints alike: its kept envelope tells it apart.
    const auto other_mix = [&](const std::string& hash) {
        if (my_envelope.empty()) return false;
        const std::optional<std::string> theirs = stage_envelope(w, hash);
        return theirs && !same_mix(my_envelope, *theirs);
    };
    const std::int64_t length = own[0][1].as<std::int64_t>();
    for (std::int64_t span : {length / lock_span_ms, length / lock_span_ms + 1})
        run(w, sql::length_lock, lock_class_length, static_cast<int>(span));
    std::vector<std::string> joining{stage};
    std::optional<std::int64_t> recording;
    std::set<std::int64_t> other_mixes;
    for (const pqxx::row& r : run(w, sql::link_candidates, length - length_slack_ms, length + length_slack_ms, stage, most_candidates)) {
        // Past the first recording that matches only stages in none are worth comparing.
        if (recording && !r[2].is_null()) continue;
        const std::optional<std::vector<std::uint32_t>> theirs = decode_fingerprint(r[1].as<std::string>());
        if (!theirs || !same_recording(*mine, *theirs)) continue;
        // A recording another mix's stage is in is that mix's: one
        // comparison of envelopes settles it.
        if (!r[2].is_null() && other_mixes.count(r[2].as<std::int64_t>())) continue;
        if (other_mix(r[0].as<std::string>())) {
            if (!r[2].is_null()) other_mixes.insert(r[2].as<std::int64_t>());
            continue;
        }
        if (r[2].is_null()) joining.push_back(r[0].as<std::string>());
        else if (!recording) recording = r[2].as<std::int64_t>();
    }
    if (!recording) recording = run1(w, sql::recording_insert)[0].as<std::int64_t>();
    run(w, sql::recording_link, *recording, text_array(joining));
    // Only stages stored before recordings bring verified sessions with
    // them; a new stage has none, and a popular recording's sessions are many.
    if (!fresh || joining.size() > 1) run(w, sql::recording_boards_fill, *recording);
}

void answer_recordings(const http::request& req, http::response& res, database& reads) {
    const std::optional<std::vector<std::uint32_t>> mine = decode_fingerprint(req.param("fingerprint"));
    if (!mine) return fail(res, 400, "invalid_fingerprint", "fingerprint must be a Chromaprint fingerprint as text");
    const std::string t = req.param("length_ms");
    const bool digits = !t.empty() && t.size() <= 9 && t.find_first_not_of("0123456789") == std::string::npos;
    if (!digits) return fail(res, 400, "invalid_length", "length_ms must be a whole number of milliseconds");
    const std::int64_t length = std::stoll(t);
    json stages = json::array(), boards = json::array();
    reads.read([&](pqxx::transaction_base& w) {
        const pqxx::result rows = run(w, sql::recordings_near, length - length_slack_ms, length + length_slack_ms, most_candidates);
        std::string last_hash;
        bool last_matched = false;
        std::set<std::int64_t> recordings;
        for (const pqxx::row& r : rows) {
            const std::string hash = r[0].as<std::string>();
            // A stage's boards in several editions share one comparison.
            if (hash != last_hash) {
                const std::optional<std::vector<std::uint32_t>> theirs = decode_fingerprint(r[6].as<std::string>());
                last_matched = theirs && same_recording(*mine, *theirs);
                last_hash = hash;
                if (last_matched && !r[8].is_null()) recordings.insert(r[8].as<std::int64_t>());
            }
            if (!last_matched || stages.size() >= static_cast<std::size_t>(most_stages)) continue;
            stages.push_back({{"stage", hash}, {"edition", r[1].as<std::string>()}, {"difficulty", r[2].as<std::string>()},
                              {"title", r[3].as<std::string>()}, {"artist", r[4].as<std::string>()},
                              {"length_ms", r[5].as<std::int64_t>()}, {"players", r[7].as<std::int64_t>()}});
        }
        if (recordings.empty()) return;
        std::vector<std::string> ids;
        for (std::int64_t id : recordings) ids.push_back(std::to_string(id));
        // Fingerprints matching two recordings (made apart, each of a copy
        // too far from the other to match) give the lower one's boards.
        std::set<std::pair<std::string, std::string>> labels;
        for (const pqxx::row& r : run(w, sql::recording_boards_of, text_array(ids))) {
            if (!labels.insert({r[1].as<std::string>(), r[2].as<std::string>()}).second) continue;
            boards.push_back({{"stage", r[0].as<std::string>()}, {"edition", r[1].as<std::string>()},
                              {"difficulty", r[2].as<std::string>()}, {"title", r[3].as<std::string>()},
                              {"artist", r[4].as<std::string>()},
                              {"length_ms", r[5].is_null() ? 0 : r[5].as<std::int64_t>()},
                              {"players", r[6].as<std::int64_t>()}, {"envelope", r[7].as<bool>()}});
        }
    });
    res.status = 200;
    res.set_content(json{{"boards", boards}, {"stages", stages}}.dump(), "application/json");
}

}  // namespace server
