// The game's pattern loader on arbitrary bytes. Besides the sanitizers, it
// checks the loader's own promises: a loaded file's records are exactly its
// bytes, and a failure says where it stopped.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "pattern/byte_order.hpp"
#include "pattern/pattern_loader.hpp"

namespace {

void require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "pattern loader: %s\n", what);
        std::abort();
    }
}

std::int32_t le32(const std::uint8_t* p) {
    return static_cast<std::int32_t>(pattern::decode_le32(p));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size), std::ios::binary);
    pattern_group groups[pattern::max_groups];
    signed char count = 0;
    const pattern_load_result r = load_pattern(in, groups, count);
    const std::string line = describe_pattern_failure("fuzz.pat", r);
    require((r.status == pattern_load_status::loaded) == line.empty(), "a failure without a message");

    if (size == 0) {
        require(r.status == pattern_load_status::empty, "an empty file not reported as empty");
        return 0;
    }
    require(r.count_byte == data[0], "the count byte reported wrongly");
    if (data[0] != 1 && data[0] != 2) {
        require(r.status == pattern_load_status::bad_group_count, "a bad count byte accepted");
        return 0;
    }
    require(r.status != pattern_load_status::bad_group_count && r.status != pattern_load_status::cannot_open &&
                r.status != pattern_load_status::read_error,
            "an impossible status from memory");

    // Walk the bytes the way the format reads and compare record by record.
    std::size_t pos = 1;
    int group = 0;
    std::uint32_t taken[pattern::max_groups] = {0, 0};
    while (group < data[0]) {
        if (size - pos < 4) {
            require(r.status == pattern_load_status::missing_terminator && r.group == group,
                    "a missing terminator not reported");
            break;
        }
        const std::int32_t time = le32(data + pos);
        pos += 4;
        if (time == -1) {
            ++group;
            continue;
        }
        if (size - pos < 8) {
            require(r.status == pattern_load_status::cut_in_record && r.group == group, "a cut record not reported");
            break;
        }
        require(taken[group] < groups[group].size(), "a record was dropped");
        const bullet_pattern_element& e = groups[group][taken[group]++];
        require(e.time == time && std::memcmp(&e.angle, data + pos, 4) == 0 && std::memcmp(&e.speed, data + pos + 4, 4) == 0,
                "a record differs from its bytes");
        pos += 8;
    }
    if (group == data[0]) require(r.status == pattern_load_status::loaded, "a complete file refused");
    require(taken[0] == groups[0].size() && taken[1] == groups[1].size(), "records appended beyond the bytes");
    return 0;
}
