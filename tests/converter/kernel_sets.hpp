#pragma once
#include <gtest/gtest.h>

#include "converter/fft.hpp"

// Runs a check once with every transform kernel set this processor has, so
// the baseline set is checked on machines that would pick a faster one.
template <class Check>
void with_each_kernel_set(Check check) {
    const converter::fft_kernels before = converter::fft_kernels_in_use();
    for (converter::fft_kernels k :
         {converter::fft_kernels::baseline, converter::fft_kernels::avx_fma, converter::fft_kernels::avx512}) {
        if (!converter::use_fft_kernels(k)) continue;
        SCOPED_TRACE(k == converter::fft_kernels::baseline  ? "baseline kernels"
                     : k == converter::fft_kernels::avx_fma ? "AVX+FMA kernels"
                                                           : "AVX-512 kernels");
        check();
    }
    converter::use_fft_kernels(before);
}
