#pragma once
#include <cstdint>
#include <deque>

#include <boost/pool/pool_alloc.hpp>

#include "converter/analysis.hpp"
#include "converter/editions.hpp"
#include "pattern/bullet_pattern_element.hpp"

namespace converter {

// The standard and zetaflux editions differ only in how the records of one
// burst are aimed. The dynamics edition aims as the standard one does and
// keeps fewer of them where the music is quieter (converter/dynamics.hpp).
// The editions themselves are listed in converter/editions.def.

using event_queue = std::deque<bullet_pattern_element, boost::fast_pool_allocator<bullet_pattern_element>>;

// Record i (0 to l) of the burst of modulation bin l, magnitude m, in
// frequency bin `bin` of channel `channel`, in the second whose first tick is
// `base`. `floor` is the bin's smallest magnitude (never above 0), used by the
// zetaflux edition's speed.
bullet_pattern_element burst_record(edition ed, std::int32_t base, int channel, int bin, int l, int i, float m,
                                    float floor);

// Appends the records of every burst of the analysed second: frequency bins
// ascending, modulation bins ascending within a bin, records i ascending.
void append_bursts(event_queue& events, const analysis& an, edition ed, std::int32_t base, int channel);

}  // namespace converter
