#pragma once
#include <cstddef>

namespace converter {

// The instruction sets the converter's hand-vectorised paths are written
// for, chosen by one switch for all of them. Every set gives the plain
// code's bits; the widest one the processor has runs unless a test or a
// measurement chooses another, so each path can be checked on any machine
// that has its instructions.
//   plain    no vector instructions: what other processors build and run
//   sse2     four lanes (every x86-64 processor): the samples' scaling, the
//            windows' filling, the magnitudes and the dynamics edition's
//            mixes, frame measures, meter sums, spectra and flights
//   avx_fma  as sse2, with the transforms' products formed with AVX and
//            FMA and the per-bin series eight bins at a time
//   avx512   as avx_fma, with the transforms eight lanes wide
enum class kernel_set { plain, sse2, avx_fma, avx512 };

bool kernels_supported(kernel_set k);
bool use_kernels(kernel_set k);  // false, and no change, when unsupported
kernel_set kernels_in_use();
const char* kernel_set_name(kernel_set k);  // "plain", "sse2", "avx_fma", "avx512"

// Whether the four-lane paths (SSE2) run.
inline bool four_lane_kernels() { return kernels_in_use() != kernel_set::plain; }

}  // namespace converter
