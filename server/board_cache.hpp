#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "server/pages.hpp"

// What every reader of a board shares (its top rows and its player count),
// kept a short while per board so that a read costs only the reader's own
// place. A board being written by this process is never served from here:
// from the start of the write until after its commit readers go to the
// database, and a copy read before the write ends is not kept. Writes from
// elsewhere (another process, a standby behind --read-database) show once
// the copy is older than its time to live.
namespace server {

struct board_id {
    std::string stage, edition, difficulty;
    bool operator<(const board_id& o) const {
        return std::tie(stage, edition, difficulty) < std::tie(o.stage, o.edition, o.difficulty);
    }
};

// A board's players per bucket of ratio at one level: the buckets in
// ascending order, and before[i] the players of buckets[0..i) (one more).
struct bucket_level {
    std::vector<std::int64_t> buckets, before;
};

struct board_top {
    std::vector<std::string> entries;  // the top rows in order, each as its JSON text
    std::vector<page_run> page_rows;   // the same for the web page (watch counts not kept)
    std::int64_t players = 0;
    std::string recording_board;  // the stage whose board is the recording's, when another
    // The board's bucket counts at the schema's four levels, when it has
    // few enough to keep (else a place is counted in SQL alone).
    bool counted = false;
    bucket_level levels[4];
    std::size_t rows() const {
        std::size_t n = entries.size() + 1;
        if (counted)
            for (const bucket_level& l : levels) n += l.buckets.size();
        return n;
    }
};

class board_cache {
public:
    using clock = std::chrono::steady_clock;
    // ttl 0 or boards 0: nothing is kept, every read fills. At most
    // `boards` boards and `rows` of their rows (board_top::rows) are kept,
    // the least recently read dropped first.
    board_cache(std::chrono::milliseconds ttl, std::size_t boards, std::size_t rows = 2000000)
        : ttl_(ttl), boards_(boards), rows_(rows) {}

    // A new time to live and cap; what was kept is dropped.
    void configure(std::chrono::milliseconds ttl, std::size_t boards);

    // The board's shared rows: a kept copy younger than the time to live,
    // else fill()'s, which one caller runs while the others asking for the
    // same board wait for it, or take the copy it replaces (so a refill
    // costs the readers of a busy board no wait, and a copy answered is at
    // most the time to live and one fill old). fill's exception reaches
    // every waiter.
    std::shared_ptr<const board_top> get(const board_id& b, const std::function<board_top()>& fill);

    // Brackets a write that changes the board's rows (see the top). end is
    // called after the commit or the rollback; board_write does both.
    void begin_write(const board_id& b);
    void end_write(const board_id& b);

    std::size_t kept() const;

private:
    struct entry;
    void drop_locked(const board_id& b);

    void trim_locked();

    std::chrono::milliseconds ttl_;
    std::size_t boards_;
    const std::size_t rows_;
    std::size_t kept_rows_ = 0;
    mutable std::mutex mutex_;
    std::map<board_id, std::shared_ptr<entry>> entries_;
    std::list<board_id> recent_;             // most recently used first
    std::map<board_id, int> writing_;        // writes begun and not ended
};

// The process's one cache, shared by the routes and the in-process workers.
board_cache& boards_cache();

// A write to a board for the length of a transaction: begins at
// construction and ends at destruction, after the commit or a rollback.
class board_write {
public:
    explicit board_write(board_id b) : board_(std::move(b)) { boards_cache().begin_write(board_); }
    ~board_write() { boards_cache().end_write(board_); }
    board_write(const board_write&) = delete;
    board_write& operator=(const board_write&) = delete;

private:
    board_id board_;
};

}  // namespace server
