#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "pattern/bullet_pattern_element.hpp"
#include "pattern/byte_order.hpp"

namespace pattern {

// Where the bytes of a pattern file go. A sink may fail (a full disk); it
// remembers that and the writer carries on, so the caller checks once.
class sink {
public:
    virtual ~sink() = default;
    virtual void put(const std::uint8_t* bytes, std::size_t count) = 0;
};

class vector_sink : public sink {
public:
    void put(const std::uint8_t* bytes, std::size_t count) override;
    std::vector<std::uint8_t> bytes;
};

// Writes the parts of a pattern file in file order: the count byte, then per
// group its records and its terminator.
class writer {
public:
    explicit writer(sink& out) : out_(out) {}

    void group_count(unsigned groups);  // the low eight bits, as one byte
    // A record whose time is the terminator value could never be read back;
    // it is refused with std::invalid_argument.
    void record(const bullet_pattern_element& e);
    void terminator();

private:
    sink& out_;
};

}  // namespace pattern
