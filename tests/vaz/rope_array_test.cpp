// rope_array, with the pattern store's record and chunk size.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "pattern/bullet_pattern_element.hpp"
#include "vaz/rope_array.hpp"

TEST(RopeArray, EightyFiveElementsFillOneChunkAndTheNextStartsAnother) {
    vaz::rope_array<bullet_pattern_element, 85> a;
    EXPECT_EQ(a.chunks.size(), 0u);
    for (int i = 0; i < 85; ++i) a.push_back({i, 0.0f, 0.0f});
    EXPECT_EQ(a.count, 85u);
    EXPECT_EQ(a.chunks.size(), 1u);
    a.push_back({85, 0.0f, 0.0f});
    EXPECT_EQ(a.chunks.size(), 2u);
    EXPECT_EQ(a.chunks[1][0].time, 85);
    EXPECT_EQ(a.chunks[0][84].time, 84);
    a.clear();
    EXPECT_EQ(a.size(), 0u);
    EXPECT_TRUE(a.chunks.empty());
    a.push_back({7, 0.0f, 0.0f});
    EXPECT_EQ(a[0].time, 7);
}

TEST(RopeArray, ElementsNeverMoveWhileAppending) {
    vaz::rope_array<bullet_pattern_element, 85> a;
    a.push_back({0, 0.5f, 1.0f});
    const bullet_pattern_element* first = &a[0];
    std::vector<const bullet_pattern_element*> addresses{first};
    for (int i = 1; i < 1000; ++i) {
        a.push_back({i, 0.5f, 1.0f});
        addresses.push_back(&a[static_cast<std::uint32_t>(i)]);
    }
    EXPECT_EQ(a.chunks.size(), 12u);  // 1000 / 85 rounded up
    for (std::uint32_t i = 0; i < 1000; ++i) {
        ASSERT_EQ(&a[i], addresses[i]) << "element " << i << " moved";
        ASSERT_EQ(a[i].time, static_cast<std::int32_t>(i));
        ASSERT_EQ(&a[i], &a.chunks[i / 85][i % 85]);
    }
}
