#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "pattern/pattern_writer.hpp"

using bytes = std::vector<std::uint8_t>;

TEST(PatternWriter, RecordIsTwelveLittleEndianBytes) {
    pattern::vector_sink sink;
    pattern::writer w(sink);
    w.record({0x01020304, 1.0f, -2.5f});  // 3F800000, C0200000
    w.record({-2, -0.0f, 0.75f});         // FFFFFFFE, 80000000, 3F400000
    EXPECT_EQ(sink.bytes, (bytes{0x04, 0x03, 0x02, 0x01, 0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x20, 0xC0,
                                 0xFE, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x40, 0x3F}));
}

TEST(PatternWriter, WholeFileOfTwoGroups) {
    pattern::vector_sink sink;
    pattern::writer w(sink);
    w.group_count(2);
    w.record({59, 0.0f, 5.0f});  // 40A00000
    w.terminator();
    w.terminator();
    EXPECT_EQ(sink.bytes, (bytes{0x02, 0x3B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xA0, 0x40,
                                 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(sink.bytes.size(), 1u + 12u + 4u * 2u);
    EXPECT_EQ(pattern::file_size(1, 2), sink.bytes.size());
    EXPECT_EQ(pattern::record_count(sink.bytes.size(), 2), 1u);
    EXPECT_EQ(pattern::file_size(0, 1), 5u);
    EXPECT_EQ(pattern::record_count(1 + 12 * 85 + 4, 1), 85u);
}

TEST(PatternWriter, CountByteKeepsTheLowEightBits) {
    pattern::vector_sink sink;
    pattern::writer w(sink);
    w.group_count(1);
    w.group_count(258);
    EXPECT_EQ(sink.bytes, (bytes{0x01, 0x02}));
}

TEST(PatternWriter, RefusesARecordThatWouldReadAsATerminator) {
    pattern::vector_sink sink;
    pattern::writer w(sink);
    EXPECT_THROW(w.record({pattern::group_terminator, 0.0f, 1.0f}), std::invalid_argument);
    EXPECT_TRUE(sink.bytes.empty());
}

TEST(PatternWriter, Encodes32BitValuesLowByteFirst) {
    std::uint8_t b[4];
    pattern::encode_le32(0xA1B2C3D4u, b);
    EXPECT_EQ(bytes(b, b + 4), (bytes{0xD4, 0xC3, 0xB2, 0xA1}));
}
