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
};

}  // namespace

TEST_F(TaskTable, UpdateLineOrder) {
    EXPECT_EQ(update_scheduler::index<gt::bullet_echo>(), 0);
    EXPECT_EQ(update_scheduler::index<gt::bullet_r>(), 1);
    EXPECT_EQ(update_scheduler::index<gt::bullet_b>(), 2);
    EXPECT_EQ(update_scheduler::index<gt::myship>(), 3);
    EXPECT_EQ(update_scheduler::index<gt::bullet_ctor>(), 4);
    EXPECT_EQ(update_scheduler::index<gt::blood>(), 5);
    EXPECT_EQ(update_scheduler::index<gt::spark>(), 6);
    EXPECT_EQ(update_scheduler::index<gt::smile>(), 7);
    EXPECT_EQ(update_scheduler::index<gt::bombed>(), 8);
    EXPECT_EQ(update_scheduler::index<gt::outi>(), 9);
    EXPECT_EQ(update_scheduler::index<gt::game>(), 10);
    EXPECT_EQ(update_scheduler::index<gt::gameover>(), 11);
    EXPECT_EQ(update_scheduler::index<gt::titledemo>(), 12);
    EXPECT_EQ(update_scheduler::index<gt::titleready>(), 13);
}

TEST_F(TaskTable, DrawLineOrderIsTheStackingOrder) {
    EXPECT_EQ(draw_scheduler::index<gt::outi::draw>(), 0);
    EXPECT_EQ(draw_scheduler::index<gt::game::draw>(), 1);
    EXPECT_EQ(draw_scheduler::index<gt::spark::draw>(), 2);
    EXPECT_EQ(draw_scheduler::index<gt::bullet_b::draw>(), 3);
    EXPECT_EQ(draw_scheduler::index<gt::bullet_r::draw>(), 4);
    EXPECT_EQ(draw_scheduler::index<gt::myship::draw>(), 5);
    EXPECT_EQ(draw_scheduler::index<gt::bullet_echo::draw>(), 6);
    EXPECT_EQ(draw_scheduler::index<gt::smile::draw>(), 7);
    EXPECT_EQ(draw_scheduler::index<gt::bombed::draw>(), 8);
    EXPECT_EQ(draw_scheduler::index<gt::myship::draw_grazecounter>(), 9);
    EXPECT_EQ(draw_scheduler::index<gt::blood::draw>(), 10);
    EXPECT_EQ(draw_scheduler::index<gt::gameover::draw>(), 11);
    EXPECT_EQ(draw_scheduler::index<gt::titledemo::draw>(), 12);
    EXPECT_EQ(draw_scheduler::index<gt::titleready::draw>(), 13);
}

TEST_F(TaskTable, PoolCapacities) {
    EXPECT_EQ(capacity<gt::bullet_echo>(), 1024);
    EXPECT_EQ(capacity<gt::bullet_r>(), 1024);
    EXPECT_EQ(capacity<gt::bullet_b>(), 1024);
    EXPECT_EQ(capacity<gt::myship>(), 1);
    EXPECT_EQ(capacity<gt::bullet_ctor>(), 2);
    EXPECT_EQ(capacity<gt::blood>(), 1024);
    EXPECT_EQ(capacity<gt::spark>(), 1024);
    EXPECT_EQ(capacity<gt::smile>(), 1);
    EXPECT_EQ(capacity<gt::bombed>(), 1);
    EXPECT_EQ(capacity<gt::outi>(), 1);
    EXPECT_EQ(capacity<gt::game>(), 1);
    EXPECT_EQ(capacity<gt::gameover>(), 1);
    EXPECT_EQ(capacity<gt::titledemo>(), 1);
    EXPECT_EQ(capacity<gt::titleready>(), 1);
}

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
