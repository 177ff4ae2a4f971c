#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "vaz/tasksystem/taskmain.hpp"

using vaz::tasksystem::node;
using vaz::tasksystem::sst::line;
using vaz::tasksystem::sst::task;

namespace {

// Every body appends "<type tag><value>" to the trace so tests can read the walk order.
std::vector<int> trace;

struct alpha {
    int value;
    int untouched;  // the constructor leaves this alone on purpose
    alpha() : value(1) {}
    static const vaz::tasksystem::body_fn body;
};
struct beta {
    int value;
    beta() : value(2) {}
    static const vaz::tasksystem::body_fn body;
};
struct gamma {
    int value;
    gamma() : value(3) {}
    static const vaz::tasksystem::body_fn body;
};
struct single {
    int value = 4;
    static const vaz::tasksystem::body_fn body;
};
struct big_pool {
    static const vaz::tasksystem::body_fn body;
};

using test_line = line<task<alpha, 4>, task<beta, 4>, task<gamma, 4>, task<single, 1>, task<big_pool, 1024>>;
using scheduler = vaz::tasksystem::taskmain<test_line>;

// Bodies reach their scheduler through a global, as the game's do.
scheduler* sched = nullptr;

// What the bodies do in a given test.
enum class action { none, kill_self, spawn_alpha, spawn_gamma, kill_self_spawn_gamma };
action alpha_action = action::none;

void record(node** cursor, int tag) {
    trace.push_back(tag * 100 + *static_cast<int*>((*cursor)->object));
}

void alpha_body(node** cursor) {
    record(cursor, 1);
    switch (alpha_action) {
        case action::kill_self: {
            node* self = *cursor;
            *cursor = self->prev;
            sched->kill<alpha>(self);
            break;
        }
        case action::spawn_alpha:
            alpha_action = action::none;
            vaz::tasksystem::object_of<alpha>(sched->spawn<alpha>()).value = 50;
            break;
        case action::spawn_gamma:
            alpha_action = action::none;
            vaz::tasksystem::object_of<gamma>(sched->spawn<gamma>()).value = 60;
            break;
        default:
            break;
    }
}
// The walk each beta body ran in as the scheduler counts them, 0 outside a walk.
std::vector<std::uint64_t> beta_walks;

void beta_body(node** cursor) {
    record(cursor, 2);
    beta_walks.push_back(sched->walking() ? sched->walks() : 0);
}
void gamma_body(node** cursor) { record(cursor, 3); }
void single_body(node** cursor) { record(cursor, 4); }
void big_body(node**) {}

const vaz::tasksystem::body_fn alpha::body = &alpha_body;
const vaz::tasksystem::body_fn beta::body = &beta_body;
const vaz::tasksystem::body_fn gamma::body = &gamma_body;
const vaz::tasksystem::body_fn single::body = &single_body;
const vaz::tasksystem::body_fn big_pool::body = &big_body;

class TaskSystem : public ::testing::Test {
protected:
    void SetUp() override {
        trace.clear();
        beta_walks.clear();
        alpha_action = action::none;
        sched = &s;
    }
    scheduler s;

    template <class T>
    int pool_index(node* n) {
        return static_cast<int>(n - s.nodearrays[scheduler::index<T>()]);
    }
    template <class T>
    std::vector<node*> live() {
        std::vector<node*> out;
        for (node* n = s.begin<T>(); n != s.end<T>(); n = n->next) out.push_back(n);
        return out;
    }
};

}  // namespace

TEST_F(TaskSystem, IndicesFollowLinePosition) {
    EXPECT_EQ(scheduler::index<alpha>(), 0);
    EXPECT_EQ(scheduler::index<beta>(), 1);
    EXPECT_EQ(scheduler::index<gamma>(), 2);
    EXPECT_EQ(scheduler::index<single>(), 3);
    EXPECT_EQ(scheduler::index<big_pool>(), 4);
}

TEST_F(TaskSystem, FreshSchedulerLinksHeadsAndTailsInLineOrder) {
    node* n = s.top.next;
    for (int t = 0; t < scheduler::count; ++t) {
        ASSERT_EQ(n, &s.slots[3 * t]) << "type " << t;
        EXPECT_EQ(n->kind, vaz::tasksystem::type_head);
        n = n->next;
        ASSERT_EQ(n, &s.slots[3 * t + 1]);
        EXPECT_EQ(n->kind, vaz::tasksystem::type_tail);
        n = n->next;
    }
    EXPECT_EQ(n, &s.bottom);
    EXPECT_EQ(s.bottom.prev, &s.slots[3 * (scheduler::count - 1) + 1]);
    EXPECT_EQ(s.slots[0].prev, &s.top);
    EXPECT_EQ(s.begin<alpha>(), s.end<alpha>());
}

TEST_F(TaskSystem, WalkOfEmptySchedulerOnlyRunsIdleBoundaries) {
    int visited = 0;
    for (node* n = s.top.next; n != &s.bottom; n = n->next) {
        EXPECT_EQ(n->body, &vaz::tasksystem::idle);
        ++visited;
    }
    EXPECT_EQ(visited, 2 * scheduler::count);
    s.run();
    EXPECT_TRUE(trace.empty());
}

TEST_F(TaskSystem, CapacityOneIsReusedAfterKill) {
    node* first = s.spawn<single>();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(s.spawn<single>(), nullptr);
    EXPECT_EQ(live<single>().size(), 1u);
    s.kill<single>(first);
    EXPECT_EQ(s.begin<single>(), s.end<single>());
    node* again = s.spawn<single>();
    EXPECT_EQ(again, first);
    EXPECT_EQ(again->object, first->object);
}

TEST_F(TaskSystem, FreshPoolHandsOutNodesInOrderThenNull) {
    for (int i = 0; i < 1024; ++i) {
        node* n = s.spawn<big_pool>();
        ASSERT_NE(n, nullptr) << i;
        EXPECT_EQ(pool_index<big_pool>(n), i);
        EXPECT_EQ(n, s.pool_nodes<big_pool>() + i);
        EXPECT_EQ(n->object, s.objectblocks[scheduler::index<big_pool>()] + i * sizeof(big_pool));
    }
    EXPECT_EQ(s.spawn<big_pool>(), nullptr);
    EXPECT_EQ(scheduler::capacity<big_pool>(), 1024);
    EXPECT_EQ(scheduler::capacity<single>(), 1);
}

TEST_F(TaskSystem, EachWalkIsCountedAndABodyKnowsItRunsInOne) {
    node* b = s.spawn<beta>();
    s.run();
    s.run();
    beta_body(&b);
    EXPECT_EQ(beta_walks, (std::vector<std::uint64_t>{1, 2, 0}));
    EXPECT_FALSE(s.walking());
}

TEST_F(TaskSystem, KilledNodesAreHandedOutLastInFirstOut) {
    node* a = s.spawn<alpha>();
    node* b = s.spawn<alpha>();
    s.spawn<alpha>();
    s.kill<alpha>(a);
    s.kill<alpha>(b);
    EXPECT_EQ(s.spawn<alpha>(), b);
    EXPECT_EQ(s.spawn<alpha>(), a);
    EXPECT_EQ(pool_index<alpha>(s.spawn<alpha>()), 3);
    EXPECT_EQ(s.spawn<alpha>(), nullptr);
}

TEST_F(TaskSystem, ResetLeavesNoTaskLiveAndHandsOutNodesInTheirFirstOrder) {
    node* a = s.spawn<alpha>();
    s.spawn<alpha>();
    s.spawn<beta>();
    s.kill<alpha>(a);
    s.reset();
    for (node* head : {s.begin<alpha>(), s.begin<beta>(), s.begin<gamma>()}) EXPECT_EQ(head->kind, vaz::tasksystem::type_tail);
    s.run();
    EXPECT_TRUE(trace.empty());
    for (int i = 0; i < 4; ++i) EXPECT_EQ(pool_index<alpha>(s.spawn<alpha>()), i);
    EXPECT_EQ(s.spawn<alpha>(), nullptr);
    EXPECT_EQ(pool_index<beta>(s.spawn<beta>()), 0);
}

TEST_F(TaskSystem, SpawnLinksNewestFirstAndInstallsBody) {
    node* a = s.spawn<alpha>();
    node* b = s.spawn<alpha>();
    EXPECT_EQ(live<alpha>(), (std::vector<node*>{b, a}));
    EXPECT_EQ(b->kind, vaz::tasksystem::live_task);
    EXPECT_EQ(b->body, alpha::body);
    EXPECT_EQ(b->prev, &s.slots[0]);
    EXPECT_EQ(a->prev, b);
    EXPECT_EQ(vaz::tasksystem::object_of<alpha>(a).value, 1);
}

TEST_F(TaskSystem, RespawnKeepsFieldsTheConstructorDoesNotSet) {
    node* n = s.spawn<alpha>();
    auto& obj = vaz::tasksystem::object_of<alpha>(n);
    obj.value = 77;
    obj.untouched = 12345;
    s.kill<alpha>(n);
    node* again = s.spawn<alpha>();
    ASSERT_EQ(again, n);
    EXPECT_EQ(vaz::tasksystem::object_of<alpha>(again).value, 1);
    EXPECT_EQ(vaz::tasksystem::object_of<alpha>(again).untouched, 12345);
}

TEST_F(TaskSystem, WalkRunsTypesInLineOrderNewestFirst) {
    vaz::tasksystem::object_of<gamma>(s.spawn<gamma>()).value = 30;
    vaz::tasksystem::object_of<alpha>(s.spawn<alpha>()).value = 10;
    vaz::tasksystem::object_of<alpha>(s.spawn<alpha>()).value = 11;
    vaz::tasksystem::object_of<beta>(s.spawn<beta>()).value = 20;
    s.run();
    EXPECT_EQ(trace, (std::vector<int>{111, 110, 220, 330}));
}

TEST_F(TaskSystem, SelfKillAsOnlyTaskContinuesWithTail) {
    s.spawn<alpha>();
    s.spawn<beta>();
    alpha_action = action::kill_self;
    s.run();
    EXPECT_EQ(trace, (std::vector<int>{101, 202}));
    EXPECT_EQ(s.begin<alpha>(), s.end<alpha>());
    trace.clear();
    s.run();
    EXPECT_EQ(trace, (std::vector<int>{202}));
}

TEST_F(TaskSystem, SelfKillInTheMiddleKeepsTheRestOfTheWalk) {
    vaz::tasksystem::object_of<alpha>(s.spawn<alpha>()).value = 5;
    vaz::tasksystem::object_of<alpha>(s.spawn<alpha>()).value = 6;
    vaz::tasksystem::object_of<alpha>(s.spawn<alpha>()).value = 7;
    alpha_action = action::kill_self;
    s.run();
    EXPECT_EQ(trace, (std::vector<int>{107, 106, 105}));
    EXPECT_EQ(s.begin<alpha>(), s.end<alpha>());
}

TEST_F(TaskSystem, SpawnIntoOwnTypeDuringWalkRunsNextWalk) {
    vaz::tasksystem::object_of<alpha>(s.spawn<alpha>()).value = 9;
    alpha_action = action::spawn_alpha;
    s.run();
    EXPECT_EQ(trace, (std::vector<int>{109}));
    ASSERT_EQ(live<alpha>().size(), 2u);
    EXPECT_EQ(vaz::tasksystem::object_of<alpha>(s.begin<alpha>()).value, 50);
    trace.clear();
    s.run();
    EXPECT_EQ(trace, (std::vector<int>{150, 109}));
}

TEST_F(TaskSystem, SpawnIntoLaterTypeDuringWalkRunsSameWalk) {
    vaz::tasksystem::object_of<alpha>(s.spawn<alpha>()).value = 9;
    alpha_action = action::spawn_gamma;
    s.run();
    EXPECT_EQ(trace, (std::vector<int>{109, 360}));
}

TEST_F(TaskSystem, KillOfAnotherTaskBeforeTheWalkReachesItSkipsIt) {
    node* later = s.spawn<beta>();
    vaz::tasksystem::object_of<beta>(later).value = 21;
    vaz::tasksystem::object_of<beta>(s.spawn<beta>()).value = 22;
    s.kill<beta>(later);
    s.run();
    EXPECT_EQ(trace, (std::vector<int>{222}));
}

// A second scheduler class counts its own types from zero.
namespace {
struct other_first {
    static const vaz::tasksystem::body_fn body;
};
const vaz::tasksystem::body_fn other_first::body = &vaz::tasksystem::idle;
using other_scheduler = vaz::tasksystem::taskmain<line<task<other_first, 2>, task<alpha, 1>>>;
}  // namespace

TEST_F(TaskSystem, EachSchedulerClassHasItsOwnIndexCounter) {
    other_scheduler o;
    EXPECT_EQ(other_scheduler::index<other_first>(), 0);
    EXPECT_EQ(other_scheduler::index<alpha>(), 1);
    EXPECT_EQ(scheduler::index<alpha>(), 0);
    node* n = o.spawn<alpha>();
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(o.spawn<alpha>(), nullptr);
}
