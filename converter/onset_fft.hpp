#pragma once
#include <cstddef>

// The onset finder's transforms: many at once, one per lane, point k of
// lane c at [k * stride + c], the input already in bit-reversed order, the
// twiddles those of fft_plan (twiddle j of the stage whose butterflies span
// 2h points at h + j). Unlike the stage analysis' transforms, the products
// are single precision: an onset needs no more, and these cost less than
// half as much. Every lane does the same operations in the same order
// whatever the vector (`V`: a width, load, store, set1, add, sub, mul), so
// scalar, four-lane and eight-lane code give the same bits.
namespace converter::onset_fft {

// log(1 + x) for x >= 0, written x + 1 = 2^e m with m in [1, 2): e log 2
// plus u q(u) for u = m - 1, q fitted to log(1 + u) / u (within 4e-5 of
// the logarithm, far finer than an onset needs), evaluated by Horner's
// rule in this order on every path.
constexpr float ln2 = 0.693147182f;
constexpr float log_q[5] = {9.999449849e-01f, -4.970308542e-01f, 3.065611124e-01f, -1.578383744e-01f,
                            4.155111313e-02f};

template <class V>
inline void butterfly(V& xr, V& xi, V& yr, V& yi, V wr, V wi) {
    const V tr = V::sub(V::mul(wr, yr), V::mul(wi, yi));
    const V ti = V::add(V::mul(wr, yi), V::mul(wi, yr));
    yr = V::sub(xr, tr);
    yi = V::sub(xi, ti);
    xr = V::add(xr, tr);
    xi = V::add(xi, ti);
}

// The stage spanning 2h points on rows [from, to).
template <class V>
void single(float* re, float* im, std::size_t stride, std::size_t lanes, const float* twr, const float* twi,
            std::size_t h, std::size_t from, std::size_t to) {
    for (std::size_t g = from; g < to; g += 2 * h)
        for (std::size_t j = 0; j < h; ++j) {
            const V wr = V::set1(twr[h + j]), wi = V::set1(twi[h + j]);
            float *r0 = re + (g + j) * stride, *i0 = im + (g + j) * stride;
            float *r1 = r0 + h * stride, *i1 = i0 + h * stride;
            for (std::size_t c = 0; c < lanes; c += V::width) {
                V xr = V::load(r0 + c), xi = V::load(i0 + c), yr = V::load(r1 + c), yi = V::load(i1 + c);
                butterfly(xr, xi, yr, yi, wr, wi);
                V::store(r0 + c, xr);
                V::store(i0 + c, xi);
                V::store(r1 + c, yr);
                V::store(i1 + c, yi);
            }
        }
}

// The stages spanning 2h and 4h points on rows [from, to), in one pass:
// the same butterflies as two single ones.
template <class V>
void paired(float* re, float* im, std::size_t stride, std::size_t lanes, const float* twr, const float* twi,
            std::size_t h, std::size_t from, std::size_t to) {
    for (std::size_t g = from; g < to; g += 4 * h)
        for (std::size_t j = 0; j < h; ++j) {
            const V ar = V::set1(twr[h + j]), ai = V::set1(twi[h + j]);
            const V br = V::set1(twr[2 * h + j]), bi = V::set1(twi[2 * h + j]);
            const V cr = V::set1(twr[3 * h + j]), ci = V::set1(twi[3 * h + j]);
            float* r[4];
            float* i[4];
            for (std::size_t q = 0; q < 4; ++q) {
                r[q] = re + (g + j + q * h) * stride;
                i[q] = im + (g + j + q * h) * stride;
            }
            for (std::size_t c = 0; c < lanes; c += V::width) {
                V x0r = V::load(r[0] + c), x0i = V::load(i[0] + c), x1r = V::load(r[1] + c), x1i = V::load(i[1] + c);
                V x2r = V::load(r[2] + c), x2i = V::load(i[2] + c), x3r = V::load(r[3] + c), x3i = V::load(i[3] + c);
                butterfly(x0r, x0i, x1r, x1i, ar, ai);
                butterfly(x2r, x2i, x3r, x3i, ar, ai);
                butterfly(x0r, x0i, x2r, x2i, br, bi);
                butterfly(x1r, x1i, x3r, x3i, cr, ci);
                V::store(r[0] + c, x0r);
                V::store(i[0] + c, x0i);
                V::store(r[1] + c, x1r);
                V::store(i[1] + c, x1i);
                V::store(r[2] + c, x2r);
                V::store(i[2] + c, x2i);
                V::store(r[3] + c, x3r);
                V::store(i[3] + c, x3i);
            }
        }
}

// The first two stages on rows [from, to): four-point transforms, whose
// twiddles are 1 and -i (the plan's sign), so no products are needed.
template <class V>
void first_two(float* re, float* im, std::size_t stride, std::size_t lanes, bool minus_i, std::size_t from,
               std::size_t to) {
    for (std::size_t g = from; g < to; g += 4) {
        float* r[4];
        float* i[4];
        for (std::size_t q = 0; q < 4; ++q) {
            r[q] = re + (g + q) * stride;
            i[q] = im + (g + q) * stride;
        }
        for (std::size_t c = 0; c < lanes; c += V::width) {
            const V x0r = V::load(r[0] + c), x0i = V::load(i[0] + c), x1r = V::load(r[1] + c), x1i = V::load(i[1] + c);
            const V x2r = V::load(r[2] + c), x2i = V::load(i[2] + c), x3r = V::load(r[3] + c), x3i = V::load(i[3] + c);
            const V ar = V::add(x0r, x1r), ai = V::add(x0i, x1i), br = V::sub(x0r, x1r), bi = V::sub(x0i, x1i);
            const V cr = V::add(x2r, x3r), ci = V::add(x2i, x3i), dr = V::sub(x2r, x3r), di = V::sub(x2i, x3i);
            // d times -i is (di, -dr); times i, (-di, dr).
            const V er = minus_i ? di : V::sub(V::set1(0.0f), di), ei = minus_i ? V::sub(V::set1(0.0f), dr) : dr;
            V::store(r[0] + c, V::add(ar, cr));
            V::store(i[0] + c, V::add(ai, ci));
            V::store(r[2] + c, V::sub(ar, cr));
            V::store(i[2] + c, V::sub(ai, ci));
            V::store(r[1] + c, V::add(br, er));
            V::store(i[1] + c, V::add(bi, ei));
            V::store(r[3] + c, V::sub(br, er));
            V::store(i[3] + c, V::sub(bi, ei));
        }
    }
}

// A whole transform of n points (a power of two, at least 16) on `lanes`
// lanes (a multiple of V::width). The early stages run block by block
// while a block of rows stays in the first-level cache.
template <class V>
void transform(float* re, float* im, std::size_t stride, std::size_t lanes, const float* twr, const float* twi,
               std::size_t n) {
    std::size_t block = 16;
    while (2 * block <= n && 2 * block * stride * 2 * sizeof(float) <= 16 * 1024) block *= 2;
    for (std::size_t b = 0; b < n; b += block) {
        first_two<V>(re, im, stride, lanes, twi[3] < 0.0f, b, b + block);
        std::size_t k = 4;
        for (; 4 * k <= block; k *= 4) paired<V>(re, im, stride, lanes, twr, twi, k, b, b + block);
        for (; k < block; k *= 2) single<V>(re, im, stride, lanes, twr, twi, k, b, b + block);
    }
    std::size_t h = block;
    while (h < n) {
        if (2 * h == n) {
            single<V>(re, im, stride, lanes, twr, twi, h, 0, n);
            h *= 2;
        } else {
            paired<V>(re, im, stride, lanes, twr, twi, h, 0, n);
            h *= 4;
        }
    }
}

// One lane at a time.
struct scalar {
    static constexpr std::size_t width = 1;
    float v;
    static scalar load(const float* p) { return {*p}; }
    static void store(float* p, scalar x) { *p = x.v; }
    static scalar set1(float x) { return {x}; }
    static scalar add(scalar a, scalar b) { return {a.v + b.v}; }
    static scalar sub(scalar a, scalar b) { return {a.v - b.v}; }
    static scalar mul(scalar a, scalar b) { return {a.v * b.v}; }
};

}  // namespace converter::onset_fft
