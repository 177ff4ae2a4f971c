// The bit array behind the keyboard snapshot.
#include <gtest/gtest.h>

#include "vaz/xbitarray.hpp"

TEST(BitArray, BitsLiveInWordsFromTheLeastSignificantEnd) {
    vaz::xbitarray<unsigned int> bits(70);
    ASSERT_EQ(bits.word_count, 3);
    for (int w = 0; w < bits.word_count; ++w) EXPECT_EQ(bits.words[w], 0u) << "a new array is zeroed";
    bits.set(0, true);
    bits.set(33, true);
    bits.set(69, true);
    EXPECT_EQ(bits.words[0], 0x1u);
    EXPECT_EQ(bits.words[1], 0x2u);
    EXPECT_EQ(bits.words[2], 0x20u);
    EXPECT_TRUE(bits.get(33));
    EXPECT_FALSE(bits.get(32));
    bits.set(33, false);
    EXPECT_FALSE(bits.get(33));
    EXPECT_TRUE(bits.get(0));

    vaz::xbasic_bitarray<void>& through_base = bits;
    through_base.set(31, true);
    EXPECT_EQ(bits.words[0], 0x80000001u);
    through_base.clear();
    for (int w = 0; w < bits.word_count; ++w) EXPECT_EQ(bits.words[w], 0u);
}
