#pragma once
#include <istream>
#include <string>

#include "pattern/bullet_pattern_element.hpp"
#include "vaz/rope_array.hpp"

// One group of events in file order, in chunks that never move.
using pattern_group = vaz::rope_array<bullet_pattern_element, 85>;

// Reads a pattern file: one count byte (1 or 2), then that many groups of
// 12-byte little-endian records, each group ended by a time of -1. Records are
// appended in file order and taken as they are; bytes after the last
// terminator are never read. What was appended before a failure stays.
enum class pattern_load_status {
    loaded,
    cannot_open,         // the file could not be opened
    read_error,          // the system failed a read (a directory, an I/O error)
    empty,               // no count byte
    bad_group_count,     // the count byte is neither 1 nor 2
    cut_in_record,       // the file ends inside a record
    missing_terminator,  // the file ends before a group's terminator
};

struct pattern_load_result {
    pattern_load_status status;
    int count_byte;  // the count byte as stored (0..255), or -1 when there is none
    int group;       // the group being read when the file ended, else -1
    int os_error;    // errno of a failed open or read, else 0
};

pattern_load_result load_pattern(std::istream& in, pattern_group (&groups)[pattern::max_groups], signed char& group_count);
pattern_load_result load_pattern_file(const char* path, pattern_group (&groups)[pattern::max_groups], signed char& group_count);
// What load_pattern_file would say of the file, without keeping its records.
pattern_load_result check_pattern_file(const char* path);

// One line saying what went wrong, naming the file; empty for a successful load.
std::string describe_pattern_failure(const char* path, const pattern_load_result& r);
