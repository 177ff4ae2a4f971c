#include <gtest/gtest.h>

#include "gametask/rng.hpp"
#include "gametask/schedulers.hpp"
#include "support/task_reset.hpp"

using vaz::tasksystem::node;
using vaz::tasksystem::object_of;
namespace gt = gametask;

namespace {

class TaskTable : public ::testing::Test {
protected:
    void SetUp() override {
        test_support::kill_all(update_tasks);
    }
    void TearDown() override { test_support::kill_all(update_tasks); }

    template <class T>
    int capacity() {
        int n = 0;
        while (update_tasks.spawn<T>() != nullptr) ++n;
        test_support::kill_all_of<T>(update_tasks);
        return n;
    }

    // Indices come from a counter on first request, not from the line; the
    // asserts beside the lines fix the positions these must match.
    template <class Scheduler, class... Entries>
    static void expect_indices_follow(vaz::tasksystem::sst::line<Entries...>) {
        using line = vaz::tasksystem::sst::line<Entries...>;
        ([] {
            using T = typename Entries::type;
            EXPECT_EQ(Scheduler::template index<T>(), line::template position<T>());
        }(),
         ...);
    }

    template <class... Entries>
    void expect_declared_capacities(vaz::tasksystem::sst::line<Entries...>) {
        ([this] {
            using T = typename Entries::type;
            EXPECT_EQ(capacity<T>(), Entries::capacity) << "pool " << update_scheduler::index<T>();
        }(),
         ...);
    }
};

}  // namespace

TEST_F(TaskTable, IndicesAssignedAtRunTimeAreTheLinePositions) {
    expect_indices_follow<update_scheduler>(schedulers::update_line{});
    expect_indices_follow<draw_scheduler>(schedulers::draw_line{});
}

TEST_F(TaskTable, EveryUpdatePoolHoldsItsDeclaredCapacity) { expect_declared_capacities(schedulers::update_line{}); }

TEST_F(TaskTable, ConstructorsSetTheirFieldsAndLeaveSpawnerFieldsAlone) {
    // Dirty a node's storage, then respawn it: only the constructor's fields change.
    node* n = update_tasks.spawn<gt::bullet_r>();
    auto& r = object_of<gt::bullet_r>(n);
    r.x = 1.5f;
    r.state = 7;
    r.chain = 3;
    update_tasks.kill<gt::bullet_r>(n);
    auto& r2 = object_of<gt::bullet_r>(update_tasks.spawn<gt::bullet_r>());
    EXPECT_EQ(&r2, &r);
    EXPECT_EQ(r2.x, 1.5f);
    EXPECT_EQ(r2.state, 0);
    EXPECT_EQ(r2.chain, 0);

    const auto& ship = object_of<gt::myship>(update_tasks.spawn<gt::myship>());
    EXPECT_EQ(ship.x, 220.0f);
    EXPECT_EQ(ship.y, 220.0f);
    EXPECT_EQ(ship.walk, 0);
    EXPECT_EQ(ship.facing_locked, 0);
    EXPECT_EQ(ship.facing, 3);
    EXPECT_EQ(ship.gauge, 0);
    EXPECT_EQ(ship.bomb, 0);

    EXPECT_EQ(object_of<gt::bullet_echo>(update_tasks.spawn<gt::bullet_echo>()).countdown, 40);
    const auto& g = object_of<gt::game>(update_tasks.spawn<gt::game>());
    EXPECT_EQ(g.hits, 0);
    EXPECT_EQ(g.score, 0);
    EXPECT_FALSE(g.finished);
}

TEST_F(TaskTable, IdleTypesGetTheIdleBody) {
    EXPECT_EQ(update_tasks.spawn<gt::smile>()->body, &vaz::tasksystem::idle);
    EXPECT_EQ(update_tasks.spawn<gt::outi>()->body, &vaz::tasksystem::idle);
    EXPECT_NE(update_tasks.spawn<gt::bombed>()->body, &vaz::tasksystem::idle);
}

TEST_F(TaskTable, BloodConstructionDrawsThreeNumbersInOrder) {
    rng.seed(12345);
    std::mt19937 mirror(12345);
    for (int i = 0; i < 50; ++i) {
        const auto& b = object_of<gt::blood>(update_tasks.spawn<gt::blood>());
        const std::uint32_t m = mirror() % 256;
        const bool positive = mirror() % 2 == 1;
        const std::uint32_t k = mirror() % 256;
        // Speeds come in exact steps of 5/256, so float comparison is exact here.
        EXPECT_EQ(b.vx, (positive ? 1.0f : -1.0f) * static_cast<float>(m) * 5.0f / 256.0f);
        EXPECT_EQ(b.vy, -5.0f - static_cast<float>(k) * 5.0f / 256.0f);
        EXPECT_EQ(b.falling, 0);
    }
}

TEST_F(TaskTable, SparkConstructionDrawsLifetimeThenDirection) {
    rng.seed(777);
    std::mt19937 mirror(777);
    for (int i = 0; i < 50; ++i) {
        const auto& s = object_of<gt::spark>(update_tasks.spawn<gt::spark>());
        const int lifetime = static_cast<int>(mirror() % 25) + 5;
        const std::uint32_t a = mirror() % 256;
        EXPECT_EQ(s.age, 0);
        EXPECT_EQ(s.lifetime, lifetime);
        // One of 256 directions at speed 2.
        EXPECT_NEAR(s.vx, 2 * std::cos(a * 2 * M_PI / 256), 1e-6);
        EXPECT_NEAR(s.vy, 2 * std::sin(a * 2 * M_PI / 256), 1e-6);
    }
}

TEST_F(TaskTable, FullPoolSpawnDrawsNothingFromRng) {
    while (update_tasks.spawn<gt::spark>() != nullptr) {
    }
    rng.seed(5);
    std::mt19937 mirror(5);
    EXPECT_EQ(update_tasks.spawn<gt::spark>(), nullptr);
    EXPECT_EQ(rng(), mirror());
}
