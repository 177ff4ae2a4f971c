#include "server/plays.hpp"

#include <algorithm>

namespace server {
namespace {

constexpr std::uint32_t now_mask = (std::uint32_t{1} << results::replay_key_count) - 1;

void put_le(std::string& out, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}

void put_hash(std::string& out, const vaz::hash_128& h) {
    put_le(out, h.low, 8);
    put_le(out, h.high, 8);
}

// Walks the key runs' pieces once for every finished run, which the decoder
// keeps in order and apart.
class piece_walk {
public:
    explicit piece_walk(const results::replay& r) : r_(r) {}
    // Calls f(first update, update count, key word) for each piece of [from, to).
    template <class F>
    void each(std::uint32_t from, std::uint32_t to, F f) {
        while (i_ < r_.runs.size() && at_ + r_.runs[i_].length <= from) at_ += r_.runs[i_++].length;
        std::uint64_t piece_start = at_;
        for (std::size_t k = i_; k < r_.runs.size() && piece_start < to; ++k) {
            const std::uint64_t piece_end = piece_start + r_.runs[k].length;
            const std::uint64_t begin = std::max<std::uint64_t>(piece_start, from);
            const std::uint64_t end = std::min<std::uint64_t>(piece_end, to);
            if (begin < end)
                f(static_cast<std::uint32_t>(begin), static_cast<std::uint32_t>(end - begin), r_.runs[k].keys);
            piece_start = piece_end;
        }
    }

private:
    const results::replay& r_;
    std::size_t i_ = 0;
    std::uint64_t at_ = 0;  // the first update of runs[i_]
};

}  // namespace

session_play play_of(const results::replay& r) {
    session_play out;
    std::string session_form;
    put_hash(session_form, r.pattern);
    piece_walk walk(r);
    for (const results::run_summary& s : r.finished_runs) {
        run_play run;
        // The stage, then the run's key words as (updates, word) pieces,
        // neighbours with the same word joined.
        std::string form;
        put_hash(form, r.pattern);
        std::uint32_t held = 0, held_for = 0;
        std::uint32_t before = 0;  // every key up before the run
        walk.each(s.start_update, s.result_update, [&](std::uint32_t first, std::uint32_t count, std::uint32_t keys) {
            if (held_for > 0 && keys != held) {
                put_le(form, held_for, 4);
                put_le(form, held, 4);
                held_for = 0;
            }
            held = keys;
            held_for += count;
            const std::uint32_t now = keys & now_mask;
            for (std::uint32_t diff = now ^ before; diff != 0; diff &= diff - 1) {
                const int key = __builtin_ctz(diff);
                run.changes.push_back({first - s.start_update, static_cast<std::uint8_t>(key), (now >> key & 1u) != 0});
            }
            before = now;
        });
        if (held_for > 0) {
            put_le(form, held_for, 4);
            put_le(form, held, 4);
        }
        const vaz::hash_128 h = vaz::hash_bytes(form.data(), form.size());
        put_hash(session_form, h);
        // The claims too: the same play claimed otherwise is a session of its
        // own for its player, re-played and refused with its reason.
        put_le(session_form, static_cast<std::uint32_t>(s.hits), 4);
        put_le(session_form, static_cast<std::uint32_t>(s.score), 4);
        put_le(session_form, s.result_update - s.start_update, 4);
        run.hash = h.hex();
        out.runs.push_back(std::move(run));
    }
    out.hash = vaz::hash_bytes(session_form.data(), session_form.size()).hex();
    return out;
}

std::string encode_changes(const std::vector<key_change>& changes) {
    std::string out;
    std::uint32_t last = 0;
    for (const key_change& c : changes) {
        std::uint64_t v = (std::uint64_t{c.update - last} << 5) | (std::uint64_t{c.key} << 1) | (c.down ? 1u : 0u);
        last = c.update;
        do {
            const auto byte = static_cast<std::uint8_t>(v & 0x7f);
            v >>= 7;
            out.push_back(static_cast<char>(v ? byte | 0x80 : byte));
        } while (v);
    }
    return out;
}

namespace {

// Reads encode_changes' numbers one by one; false at the end or at damage
// (a number cut short or too long, a key past the last, an update past 2^32).
class change_reader {
public:
    explicit change_reader(const std::string& bytes) : p_(bytes.data()), end_(bytes.data() + bytes.size()) {}
    bool next(key_change& c) {
        std::uint64_t v = 0;
        for (int shift = 0;; shift += 7) {
            if (p_ == end_ || shift > 35) return damaged_ = p_ != end_ || shift > 0, false;
            const auto byte = static_cast<std::uint8_t>(*p_++);
            v |= std::uint64_t{byte & 0x7fu} << shift;
            if (!(byte & 0x80)) break;
        }
        const std::uint64_t update = update_ + (v >> 5);
        const auto key = static_cast<std::uint8_t>((v >> 1) & 0xf);
        if (update > UINT32_MAX || key >= results::replay_key_count) {
            damaged_ = true;
            p_ = end_;
            return false;
        }
        update_ = static_cast<std::uint32_t>(update);
        c = {update_, key, (v & 1) != 0};
        return true;
    }
    bool damaged() const { return damaged_; }

private:
    const char* p_;
    const char* end_;
    std::uint32_t update_ = 0;
    bool damaged_ = false;
};

}  // namespace

bool decode_changes(const std::string& bytes, std::vector<key_change>& out) {
    out.clear();
    change_reader in(bytes);
    key_change c;
    while (in.next(c)) out.push_back(c);
    return !in.damaged();
}

change_matcher::change_matcher(const std::vector<key_change>& run, std::uint32_t tolerance)
    : tolerance_(tolerance), count_(run.size()), updates_(run.size()) {
    std::array<std::uint32_t, classes + 1> fill{};
    for (const key_change& c : run) ++begin_[static_cast<std::size_t>(c.key * 2 + c.down) + 1];
    for (int k = 0; k < classes; ++k) begin_[k + 1] += begin_[k];
    fill = begin_;
    // Stable: each class keeps the run's update order.
    for (const key_change& c : run) updates_[fill[static_cast<std::size_t>(c.key * 2 + c.down)]++] = c.update;
}

// Greedy per class along both orders: each of the other's changes takes the
// run's earliest unmatched change of its class still within reach, which for
// points on a line matches as many as any pairing can.
template <class Next>
std::size_t change_matcher::match(Next next, std::size_t need, std::size_t left) const {
    std::array<std::uint32_t, classes + 1> at = begin_;
    std::size_t matched = 0;
    key_change c;
    while (next(c)) {
        // Most stored runs are no copy: stop once the rest cannot make up the matches needed.
        if (need > 0 && matched + left-- < need) break;
        const auto k = static_cast<std::size_t>(c.key * 2 + c.down);
        std::uint32_t& i = at[k];
        const std::uint64_t low = c.update > tolerance_ ? std::uint64_t{c.update} - tolerance_ : 0;
        while (i < begin_[k + 1] && updates_[i] < low) ++i;
        if (i < begin_[k + 1] && updates_[i] <= std::uint64_t{c.update} + tolerance_) {
            ++matched;
            ++i;
        }
    }
    return matched;
}

std::size_t change_matcher::matched(const std::string& other) const {
    change_reader in(other);
    return match([&](key_change& c) { return in.next(c); });
}

std::size_t change_matcher::matched(const std::vector<key_change>& other) const {
    std::size_t i = 0;
    return match([&](key_change& c) {
        if (i == other.size()) return false;
        c = other[i++];
        return c.key < results::replay_key_count;
    });
}

bool change_matcher::near_copy(const std::string& other, std::size_t other_count) const {
    if (count_ < near_copy_min_changes || other_count < near_copy_fewest(count_) || other_count > near_copy_most(count_))
        return false;
    const std::size_t need = (9 * count_ + 9) / 10;
    change_reader in(other);
    return match([&](key_change& c) { return in.next(c); }, need, other_count) >= need;
}

}  // namespace server
