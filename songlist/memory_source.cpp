#include "songlist/memory_source.hpp"

#include <algorithm>
#include <numeric>
#include <tuple>

namespace songlist {

namespace {

std::string folded(const std::string& s) {
    std::string out = s;
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

}  // namespace

const char* sort_name(sort_order order) {
    switch (order) {
        case sort_order::title: return "title";
        case sort_order::artist: return "artist";
        case sort_order::album: return "album";
        case sort_order::added: return "added";
        case sort_order::played: return "played";
        case sort_order::best: return "best";
    }
    return "?";
}

sort_order next_sort(sort_order order) {
    return static_cast<sort_order>((static_cast<int>(order) + 1) % sort_order_count);
}

memory_source::memory_source(std::vector<song_row> rows) : rows_(std::move(rows)) {
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        rows_[i].id = static_cast<song_id>(i + 1);
        folded_.push_back(folded(rows_[i].title) + '\x1f' + folded(rows_[i].artist));
    }
    std::vector<std::size_t> added(rows_.size());
    std::iota(added.begin(), added.end(), std::size_t{0});
    auto by = [&](auto key) {
        std::vector<std::size_t> v = added;
        std::stable_sort(v.begin(), v.end(), [&](std::size_t a, std::size_t b) { return key(a) < key(b); });
        return v;
    };
    auto title = [&](std::size_t i) { return std::tie(folded_[i]); };
    orders_[static_cast<int>(sort_order::title)] = by(title);
    orders_[static_cast<int>(sort_order::album)] = by(title);  // no albums here
    orders_[static_cast<int>(sort_order::artist)] = by([&](std::size_t i) {
        return std::make_tuple(folded(rows_[i].artist), folded_[i]);
    });
    orders_[static_cast<int>(sort_order::added)] = added;
    // Played first, most recently added first among them: no dates are held.
    orders_[static_cast<int>(sort_order::played)] = by([&](std::size_t i) {
        return std::make_tuple(!rows_[i].played, rows_.size() - i);
    });
    // The best ratio first, then the fewest hits; songs without a best last.
    orders_[static_cast<int>(sort_order::best)] = by([&](std::size_t i) {
        const auto& b = rows_[i].best;
        return std::make_tuple(!b, b ? -b->ratio : 0.0f, b ? b->hits : 0u);
    });
}

bool memory_source::row(song_id id, song_row& out) {
    if (id < 1 || static_cast<std::size_t>(id) > rows_.size()) return false;
    out = rows_[static_cast<std::size_t>(id - 1)];
    return true;
}

std::vector<song_id> memory_source::search(const std::string& typed, sort_order order) {
    ++searches_;
    const std::string needle = folded(typed);
    std::vector<song_id> ids;
    for (std::size_t i : orders_[static_cast<int>(order)])
        if (needle.empty() || folded_[i].find(needle) != std::string::npos) ids.push_back(static_cast<song_id>(i + 1));
    return ids;
}

}  // namespace songlist
