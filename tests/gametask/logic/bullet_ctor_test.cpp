// The bullet constructor: pattern events fired as tracers from the ship.
#include "logic_fixture.hpp"

#include <cmath>

#include "vaz/single_pi.hpp"

namespace logic_test {
namespace {

class Constructor : public frames {
protected:
    gt::bullet_ctor& start_group(int g) {
        gt::bullet_ctor& c = spawn<gt::bullet_ctor>();
        c.group = g;
        return c;
    }
};

TEST_F(Constructor, EventsAtZeroZeroFiveFireInFirstAndSixthUpdates) {
    spawn<gt::myship>();
    fill_group(0, {{0, 0.0f, 1.5f}, {0, 0.0f, 1.0f}, {5, 0.0f, 1.0f}});
    start_group(0);

    step();
    EXPECT_EQ(live<gt::bullet_b>(), 2);
    ASSERT_EQ(live<gt::bullet_ctor>(), 1);
    EXPECT_EQ(first<gt::bullet_ctor>().clock, 1);
    EXPECT_EQ(first<gt::bullet_ctor>().next_event, 2);

    step(4);
    EXPECT_EQ(live<gt::bullet_b>(), 2);
    EXPECT_EQ(live<gt::outi>(), 0);

    // The group's last event fires in the same update that ends the constructor.
    step();
    EXPECT_EQ(live<gt::bullet_b>(), 3);
    EXPECT_EQ(live<gt::bullet_ctor>(), 0);
    EXPECT_EQ(live<gt::outi>(), 1);
    const gt::bullet_b& newest = first<gt::bullet_b>();
    EXPECT_EQ(newest.x, 220.0f);
    EXPECT_EQ(newest.vx, 1.0f);
    EXPECT_EQ(newest.vy, 0.0f);
}

TEST_F(Constructor, TracerVelocityRoundsCosAndSinBeforeTheSpeed) {
    gt::myship& s = spawn<gt::myship>();
    s.x = 100.0f;
    s.y = 300.0f;
    // The float nearest to pi lies above pi by 8.742278e-8; sin of it is minus that.
    const float pi = vaz::single_pi();
    fill_group(0, {{0, pi, 2.0f}});
    start_group(0);
    step();
    ASSERT_EQ(live<gt::bullet_b>(), 1);
    const gt::bullet_b& b = first<gt::bullet_b>();
    EXPECT_EQ(b.x, 100.0f);
    EXPECT_EQ(b.y, 300.0f);
    EXPECT_EQ(b.vx, -2.0f);
    EXPECT_EQ(b.vy, 2.0f * static_cast<float>(3.141592653589793 - 3.1415927410125732));
}

TEST_F(Constructor, CosIsRoundedToFloatBeforeTheSpeedMultiplies) {
    spawn<gt::myship>();
    fill_group(0, {{0, 0.04f, 2.7f}});
    start_group(0);
    step();
    ASSERT_EQ(live<gt::bullet_b>(), 1);
    // For this angle and speed the two roundings part by one float step.
    const float rounded_first = static_cast<float>(std::cos(static_cast<double>(0.04f))) * 2.7f;
    const auto rounded_once = static_cast<float>(std::cos(static_cast<double>(0.04f)) * 2.7f);
    ASSERT_NE(rounded_first, rounded_once);
    EXPECT_EQ(first<gt::bullet_b>().vx, rounded_first);
}

TEST_F(Constructor, DecreasingTimesFireWhenOverdueAndTheGroupEnds) {
    spawn<gt::myship>();
    fill_group(0, {{10, 0.0f, 1.0f}, {5, 0.0f, 1.0f}, {7, 0.0f, 1.0f}});
    start_group(0);
    // Clock 10 is reached in the eleventh update; the overdue 5 and 7 follow at once.
    step(10);
    EXPECT_EQ(live<gt::bullet_b>(), 0);
    step();
    EXPECT_EQ(live<gt::bullet_b>(), 3);
    EXPECT_EQ(live<gt::bullet_ctor>(), 0);
    EXPECT_EQ(live<gt::outi>(), 1);
}

TEST_F(Constructor, NegativeTimesFireInTheFirstUpdate) {
    spawn<gt::myship>();
    fill_group(0, {{-3, 0.0f, 1.0f}, {-1, 0.0f, 1.0f}, {2, 0.0f, 1.0f}});
    start_group(0);
    step();
    EXPECT_EQ(live<gt::bullet_b>(), 2);
    step();
    EXPECT_EQ(live<gt::bullet_b>(), 2);
    step();
    EXPECT_EQ(live<gt::bullet_b>(), 3);
    EXPECT_EQ(live<gt::bullet_ctor>(), 0);
}

TEST_F(Constructor, TwoGroupsRaiseOneMarker) {
    spawn<gt::myship>();
    fill_group(0, {{0, 0.0f, 1.0f}});
    fill_group(1, {{3, 0.0f, 1.0f}});
    start_group(0);
    start_group(1);
    step();
    EXPECT_EQ(live<gt::bullet_ctor>(), 1);
    EXPECT_EQ(first<gt::bullet_ctor>().group, 1);
    EXPECT_EQ(live<gt::outi>(), 1);
    step(3);
    EXPECT_EQ(live<gt::bullet_ctor>(), 0);
    EXPECT_EQ(live<gt::outi>(), 1);
    EXPECT_EQ(live<gt::bullet_b>(), 2);
}

TEST_F(Constructor, EmptyGroupsEndAtOnceWithOneMarker) {
    spawn<gt::myship>();
    start_group(0);
    start_group(1);
    step();
    EXPECT_EQ(live<gt::bullet_ctor>(), 0);
    EXPECT_EQ(live<gt::outi>(), 1);
}

TEST_F(Constructor, EventOnAFullTracerPoolIsUsedUp) {
    spawn<gt::myship>();
    for (int i = 0; i < 1024; ++i) tracer(220.0f, 220.0f, 0.0f, 0.0f);
    fill_group(0, {{0, 0.0f, 1.0f}, {2, 0.0f, 1.0f}});
    gt::bullet_ctor& c = start_group(0);
    step();
    EXPECT_EQ(c.next_event, 1);
    test_support::kill_all_of<gt::bullet_b>(update_tasks);
    step(2);
    EXPECT_EQ(live<gt::bullet_b>(), 1);
    EXPECT_EQ(live<gt::bullet_ctor>(), 0);
}

}  // namespace
}  // namespace logic_test
