#pragma once
#include <string>

#include "pattern/bullet_pattern_element.hpp"
#include "vaz/rope_array.hpp"

using pattern_group = vaz::rope_array<bullet_pattern_element, 85>;

extern pattern_group pattern_groups[2];
extern signed char pattern_group_count;  // 1 or 2 after a successful load
