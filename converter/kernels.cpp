#include "converter/kernels.hpp"

#include <atomic>
#include <initializer_list>

namespace converter {

namespace {

constexpr const char* names[] = {"plain", "sse2", "avx_fma", "avx512"};

kernel_set widest_supported() {
    for (kernel_set k : {kernel_set::avx512, kernel_set::avx_fma, kernel_set::sse2})
        if (kernels_supported(k)) return k;
    return kernel_set::plain;
}

std::atomic<kernel_set>& in_use() {
    static std::atomic<kernel_set> k{widest_supported()};
    return k;
}

}  // namespace

bool kernels_supported(kernel_set k) {
    if (k == kernel_set::plain) return true;
#if defined(__SSE2__)
    if (k == kernel_set::sse2) return true;
#endif
#if VELMORA_AVX_FMA_STAGES
    __builtin_cpu_init();
    const bool avx_fma = __builtin_cpu_supports("avx") && __builtin_cpu_supports("fma");
    if (k == kernel_set::avx_fma) return avx_fma;
    if (k == kernel_set::avx512)
        return avx_fma && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
#endif
    return false;
}

bool use_kernels(kernel_set k) {
    if (!kernels_supported(k)) return false;
    in_use().store(k);
    return true;
}

kernel_set kernels_in_use() { return in_use().load(std::memory_order_relaxed); }

const char* kernel_set_name(kernel_set k) { return names[static_cast<int>(k)]; }

}  // namespace converter
