#include "audiolayer/audiolayer.hpp"
// Placeholder until the decoding layer lands.
namespace audiolayer {
bool init(int, std::uint32_t) { return true; }
bool release() { return true; }
const char* last_error() { return ""; }
handle sample_load(const char*) { return 0; }
bool sample_get_info(handle, sample_info*) { return false; }
bool sample_get_data(handle, void*) { return false; }
}  // namespace audiolayer
