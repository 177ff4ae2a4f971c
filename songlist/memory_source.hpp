#pragma once
#include <array>
#include <vector>

#include "songlist/source.hpp"

namespace songlist {

// Songs held in memory, found by a plain case-insensitive substring of the
// title or the artist (ASCII letters fold; other bytes must match as they
// are). What the list's tests and benchmarks stand on.
class memory_source : public song_source {
public:
    // Ids are the rows' positions, from 1; `added` order is this order.
    explicit memory_source(std::vector<song_row> rows);

    std::size_t count() override { return rows_.size(); }
    bool row(song_id id, song_row& out) override;
    std::vector<song_id> search(const std::string& typed, sort_order order) override;

    std::size_t searches() const { return searches_; }

private:
    std::vector<song_row> rows_;
    std::vector<std::string> folded_;  // title, a separator, artist
    std::array<std::vector<std::size_t>, sort_order_count> orders_;  // each sort, worked out once
    std::size_t searches_ = 0;
};

}  // namespace songlist
