#pragma once
#include <cstdint>
#include <deque>
#include <vector>

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

// One burst of an analysed second, all its records are made of
// (burst_record): a few bytes where its records may take hundreds, so a
// second's records can wait to be made until they are written.
struct burst {
    std::uint16_t bin;
    std::uint8_t l;
    float m;
    float floor;  // the bin's floor: the zetaflux edition's; 0 in the others
};

// The bursts of the analysed second in append_bursts' order, replacing
// `out`'s contents.
void collect_bursts(const analysis& an, edition ed, std::vector<burst>& out);
// Appends the records of bursts [first, last) as append_bursts does.
void append_bursts(event_queue& events, const burst* first, const burst* last, edition ed, std::int32_t base,
                   int channel);

}  // namespace converter
