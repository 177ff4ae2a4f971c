#pragma once
#include "pattern/pattern_loader.hpp"

extern pattern_group pattern_groups[pattern::max_groups];
extern signed char pattern_group_count;  // 1 or 2 after a successful load
