// The boards' kept rows: one board's never answer another's, a board being
// written is read afresh until the write ends, a fill that overlapped a
// write is not kept, the caps and the time to live drop the rest, and
// readers of one board at once share one fill.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "server/board_cache.hpp"

namespace {

using server::board_cache;
using server::board_id;
using server::board_top;
using ms = std::chrono::milliseconds;

TEST(BoardCache, KeepsEachBoardApartUntilAWriteOrItsAge) {
    board_cache cache(ms(1000), 2);
    int fills = 0;
    const board_id a{"s", "standard", "hard"}, a_easy{"s", "standard", "easy"}, a_other{"s", "dynamics", "hard"},
        b{"t", "standard", "hard"}, c{"u", "standard", "hard"};
    // Each fill's rows are its number, so a kept copy is known by it.
    const auto read = [&](const board_id& id) {
        return cache.get(id, [&] {
                   board_top t;
                   t.players = ++fills;
                   return t;
               })->players;
    };
    EXPECT_EQ(read(a), 1);
    EXPECT_EQ(read(a), 1) << "kept";
    EXPECT_EQ(read(a_easy), 2) << "another difficulty";
    EXPECT_EQ(read(a_other), 3) << "another edition; the cap of 2 drops the least recent, a";
    EXPECT_EQ(read(a_easy), 2);
    EXPECT_EQ(read(a), 4);
    cache.begin_write(a);
    EXPECT_EQ(read(a), 5) << "read afresh while written";
    EXPECT_EQ(read(a), 6) << "and not kept";
    EXPECT_EQ(read(a_easy), 2) << "another board kept meanwhile";
    cache.end_write(a);
    EXPECT_EQ(read(a), 7);
    EXPECT_EQ(read(a), 7);
    // A write begun and ended while a fill ran: the fill's rows may be from
    // before its commit and are answered to that reader only.
    EXPECT_EQ(cache.get(b, [&] {
                  cache.begin_write(b);
                  cache.end_write(b);
                  board_top t;
                  t.players = ++fills;
                  return t;
              })->players, 8);
    EXPECT_EQ(read(b), 9);
    EXPECT_EQ(read(b), 9);
    // A failed fill reaches its caller and keeps nothing.
    EXPECT_THROW(cache.get(c, [&]() -> board_top { throw std::runtime_error("database away"); }), std::runtime_error);
    EXPECT_EQ(read(c), 10);
    std::this_thread::sleep_for(ms(1050));
    // Older than its time to live: filled again, and answered meanwhile to the others.
    EXPECT_EQ(cache.get(c, [&] {
                  EXPECT_EQ(read(c), 10) << "the old copy while it is filled again";
                  board_top t;
                  t.players = ++fills;
                  return t;
              })->players, 11);
    EXPECT_EQ(read(c), 11);
    cache.configure(ms(0), 2);
    EXPECT_EQ(read(c), 12);
    EXPECT_EQ(read(c), 13) << "a time to live of 0 keeps nothing";
    // A cap of rows: a board of many drops the others.
    board_cache small(ms(60000), 8, 10);
    const auto sized = [&](const board_id& id, std::size_t entries) {
        return small.get(id, [&] {
                   board_top t;
                   t.entries.assign(entries, "{}");
                   t.players = ++fills;
                   return t;
               })->players;
    };
    EXPECT_EQ(sized(a, 3), 14);
    EXPECT_EQ(sized(b, 3), 15);
    EXPECT_EQ(sized(a, 3), 14) << "8 rows kept";
    EXPECT_EQ(sized(c, 5), 16) << "14 rows: b, the least recent, dropped";
    EXPECT_EQ(sized(a, 3), 14);
    EXPECT_EQ(sized(b, 3), 17);
}

TEST(BoardCache, ReadersOfOneBoardAtOnceShareOneFill) {
    board_cache cache(ms(60000), 8);
    std::atomic<int> fills{0};
    std::atomic<std::int64_t> seen{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 8; ++i)
        readers.emplace_back([&] {
            seen += cache.get({"s", "standard", "hard"}, [&] {
                          std::this_thread::sleep_for(ms(100));
                          board_top t;
                          t.players = ++fills;
                          return t;
                      })->players;
        });
    for (std::thread& t : readers) t.join();
    EXPECT_EQ(fills, 1);
    EXPECT_EQ(seen, 8) << "each reader answered the one fill's rows";
}

}  // namespace
