#include "pattern/pattern_loader.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "pattern/byte_order.hpp"

namespace {

bool read_u32_le(std::istream& in, std::uint32_t& v) {
    std::uint8_t b[4];
    if (!in.read(reinterpret_cast<char*>(b), sizeof b)) return false;
    v = pattern::decode_le32(b);
    return true;
}

bool read_f32_le(std::istream& in, float& f) {
    std::uint32_t bits;
    if (!read_u32_le(in, bits)) return false;
    static_assert(sizeof f == sizeof bits, "binary32 floats");
    std::memcpy(&f, &bits, sizeof f);
    return true;
}

// A short read is the end of the file unless the system refused the read.
pattern_load_result ended(std::istream& in, pattern_load_status at_end, int count_byte, int group) {
    if (in.bad()) return {pattern_load_status::read_error, count_byte, group, errno};
    return {at_end, count_byte, group, 0};
}

}  // namespace

namespace {

// The format's one reader: each record goes to `take(group, record)`.
template <class Take>
pattern_load_result read_pattern(std::istream& in, signed char& group_count, Take take) {
    errno = 0;
    char count;
    if (!in.get(count)) return ended(in, pattern_load_status::empty, -1, -1);
    group_count = static_cast<signed char>(count);
    const int count_byte = static_cast<unsigned char>(count);
    if (group_count != 1 && group_count != 2) return {pattern_load_status::bad_group_count, count_byte, -1, 0};

    int g = 0;
    for (;;) {
        std::uint32_t time_bits;
        if (!read_u32_le(in, time_bits)) return ended(in, pattern_load_status::missing_terminator, count_byte, g);
        const auto time = static_cast<std::int32_t>(time_bits);
        if (time == pattern::group_terminator) {
            if (++g == group_count) return {pattern_load_status::loaded, count_byte, -1, 0};
            continue;
        }
        bullet_pattern_element e{time, 0.0f, 0.0f};
        if (!read_f32_le(in, e.angle) || !read_f32_le(in, e.speed)) {
            return ended(in, pattern_load_status::cut_in_record, count_byte, g);
        }
        take(g, e);
    }
}

}  // namespace

pattern_load_result load_pattern(std::istream& in, pattern_group (&groups)[pattern::max_groups], signed char& group_count) {
    return read_pattern(in, group_count, [&](int g, const bullet_pattern_element& e) { groups[g].push_back(e); });
}

pattern_load_result load_pattern_file(const char* path, pattern_group (&groups)[pattern::max_groups], signed char& group_count) {
    errno = 0;
    std::ifstream in(path, std::ios::in | std::ios::binary);
    if (!in) return {pattern_load_status::cannot_open, -1, -1, errno};
    return load_pattern(in, groups, group_count);
}

pattern_load_result check_pattern_file(const char* path) {
    errno = 0;
    std::FILE* f = std::fopen(path, "rb");
    if (!f) return {pattern_load_status::cannot_open, -1, -1, errno};
    // Read through in large blocks: only the times are looked at, the rest skipped.
    std::vector<unsigned char> block(1 << 16);
    std::size_t have = 0, at = 0;
    bool failed = false;
    auto next = [&](std::size_t n, unsigned char* out) {
        for (std::size_t k = 0; k < n; ++k) {
            if (at == have) {
                have = std::fread(block.data(), 1, block.size(), f);
                at = 0;
                if (have == 0) {
                    failed = std::ferror(f) != 0;
                    return false;
                }
            }
            if (out) out[k] = block[at];
            ++at;
        }
        return true;
    };
    auto ended_here = [&](pattern_load_status at_end, int count_byte, int group) -> pattern_load_result {
        const int e = errno;
        std::fclose(f);
        if (failed) return {pattern_load_status::read_error, count_byte, group, e};
        return {at_end, count_byte, group, 0};
    };
    unsigned char count;
    if (!next(1, &count)) return ended_here(pattern_load_status::empty, -1, -1);
    const int count_byte = count;
    if (count_byte != 1 && count_byte != 2) {
        std::fclose(f);
        return {pattern_load_status::bad_group_count, count_byte, -1, 0};
    }
    for (int g = 0;;) {
        unsigned char time[4];
        if (!next(4, time)) return ended_here(pattern_load_status::missing_terminator, count_byte, g);
        if (static_cast<std::int32_t>(pattern::decode_le32(time)) == pattern::group_terminator) {
            if (++g == count_byte) {
                std::fclose(f);
                return {pattern_load_status::loaded, count_byte, -1, 0};
            }
            continue;
        }
        if (!next(8, nullptr)) return ended_here(pattern_load_status::cut_in_record, count_byte, g);
    }
}

std::string describe_pattern_failure(const char* path, const pattern_load_result& r) {
    const std::string file = std::string("pattern file \"") + path + "\"";
    const std::string reason = r.os_error ? std::string(": ") + std::strerror(r.os_error) : std::string();
    switch (r.status) {
    case pattern_load_status::loaded:
        return {};
    case pattern_load_status::cannot_open:
        return "cannot open " + file + reason;
    case pattern_load_status::read_error:
        return "cannot read " + file + reason;
    case pattern_load_status::empty:
        return file + " is empty: the group count byte is missing";
    case pattern_load_status::bad_group_count:
        return file + " announces " + std::to_string(r.count_byte) + " groups; it must be 1 or 2";
    case pattern_load_status::cut_in_record:
        return file + " ends inside a record of group " + std::to_string(r.group + 1);
    case pattern_load_status::missing_terminator:
        return file + " ends before the terminator of group " + std::to_string(r.group + 1);
    }
    return file + " could not be read";
}
