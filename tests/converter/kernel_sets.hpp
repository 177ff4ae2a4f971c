#pragma once
#include <gtest/gtest.h>

#include "converter/kernels.hpp"

// Runs a check once with every kernel set this processor has, the plain one
// first, so that every vectorised path is checked on machines that would
// pick a wider one.
template <class Check>
void with_each_kernel_set(Check check) {
    const converter::kernel_set before = converter::kernels_in_use();
    for (converter::kernel_set k : {converter::kernel_set::plain, converter::kernel_set::sse2,
                                    converter::kernel_set::avx_fma, converter::kernel_set::avx512}) {
        if (!converter::use_kernels(k)) continue;
        SCOPED_TRACE(std::string("kernel set ") + converter::kernel_set_name(k));
        check();
    }
    converter::use_kernels(before);
}
