#include "pattern/pattern_writer.hpp"

#include <cstring>
#include <stdexcept>

namespace pattern {

void vector_sink::put(const std::uint8_t* b, std::size_t count) { bytes.insert(bytes.end(), b, b + count); }

namespace {
std::uint32_t bits_of(float f) {
    static_assert(sizeof(float) == 4, "binary32");
    std::uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}
}  // namespace

void writer::group_count(unsigned groups) {
    const std::uint8_t b = static_cast<std::uint8_t>(groups & 0xFFu);
    out_.put(&b, 1);
}

void writer::record(const bullet_pattern_element& e) {
    if (e.time == group_terminator) throw std::invalid_argument("a record cannot fire at tick -1");
    std::uint8_t b[12];
    encode_le32(static_cast<std::uint32_t>(e.time), b);
    encode_le32(bits_of(e.angle), b + 4);
    encode_le32(bits_of(e.speed), b + 8);
    out_.put(b, sizeof b);
}

void writer::terminator() {
    std::uint8_t b[4];
    encode_le32(static_cast<std::uint32_t>(group_terminator), b);
    out_.put(b, sizeof b);
}

}  // namespace pattern
