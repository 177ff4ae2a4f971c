// Blood and sparks over their lifetimes (their construction is covered with
// the task table).
#include "logic_fixture.hpp"

namespace logic_test {
namespace {

using Effects = frames;

TEST_F(Effects, BloodRisesBetween42And49UpdatesThenFallsOffTheBottom) {
    struct throw_case {
        float vy;
        int rising;  // smallest n with vy / 1.1^n above -0.1
    };
    // 5 / 1.1^41 = 0.1004, 5 / 1.1^42 = 0.0913; 9.98 / 1.1^48 = 0.1029, / 1.1^49 = 0.0935.
    for (const throw_case& c : {throw_case{-5.0f, 42}, throw_case{-9.98046875f, 49}}) {
        test_support::kill_all_of<gt::blood>(update_tasks);
        // Thrown straight up from the centre.
        gt::blood& b = moving<gt::blood>(220.0f, 220.0f, 0.0f, c.vy);
        int n = 0;
        while (b.falling == 0 && n < 100) {
            step();
            ++n;
        }
        EXPECT_EQ(n, c.rising) << "thrown at " << c.vy;
        EXPECT_EQ(b.vy, 0.5f);
        EXPECT_LT(b.y, 220.0f);

        // Falling: removed in the update whose new y truncates above 480.
        float y = b.y, vy = b.vy;
        while (live<gt::blood>() == 1) {
            const float next_y = y + vy;
            step();
            if (next_y >= 481.0f) {
                EXPECT_EQ(live<gt::blood>(), 0) << "at y " << next_y;
            } else {
                ASSERT_EQ(live<gt::blood>(), 1) << "at y " << next_y;
                EXPECT_EQ(b.y, next_y);
                EXPECT_EQ(b.x, 220.0f);  // no sideways speed: straight down
                y = b.y;
                vy = b.vy;
                EXPECT_GT(vy, 0.5f);
            }
        }
    }
}

TEST_F(Effects, BloodLeavesAtTheSidesButNotAtTheTop) {
    moving<gt::blood>(649.5f, 0.0f, 1.0f, -5.0f);
    moving<gt::blood>(-104.5f, 0.0f, -1.0f, -5.0f);
    moving<gt::blood>(220.0f, 0.0f, 0.0f, -5.0f);
    step();  // 650.5 and -105.5 still truncate to the limits
    EXPECT_EQ(live<gt::blood>(), 3);
    step();
    ASSERT_EQ(live<gt::blood>(), 1);
    EXPECT_LT(first<gt::blood>().y, -9.0f);
    step(30);
    EXPECT_EQ(live<gt::blood>(), 1);
}

TEST_F(Effects, SparkWithLifetimeFiveLivesFiveUpdates) {
    gt::spark& s = moving<gt::spark>(100.0f, 100.0f, 2.0f, -2.0f);
    s.lifetime = 5;
    step(5);
    ASSERT_EQ(live<gt::spark>(), 1);
    EXPECT_EQ(s.age, 5);
    EXPECT_EQ(s.x, 110.0f);
    EXPECT_EQ(s.y, 90.0f);
    step();
    EXPECT_EQ(live<gt::spark>(), 0);
}

}  // namespace
}  // namespace logic_test
