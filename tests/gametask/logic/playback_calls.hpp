#pragma once
#include <string>
#include <vector>

// The flow's three playback calls, taken over at link time (--wrap, see
// CMakeLists.txt): each is logged as "set_position STREAM BYTE",
// "play STREAM RESTART" or "stop STREAM" and does nothing else.
namespace logic_test {
std::vector<std::string>& playback_calls();
}
