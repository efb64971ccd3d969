// Vectorised row kernels, written once over a vector type V and included by
// one translation unit per instruction set (row_kernels_avx2.cpp,
// row_kernels_avx512.cpp), inside an anonymous namespace and a target pragma,
// ahead of the definition of V.
//
// V::lanes neighbouring output pixels are sampled at once, one per lane. Each
// lane performs exactly the double operations of sample_bilinear and
// sample_lanczos3, in the same order: vectorising across pixels never
// reassociates anything within a pixel, so the results are bit-identical to
// the scalar samplers. Only exact steps leave the double sums: tap indices
// are clamped as int32 (Lanczos-3) or as whole doubles (bilinear), the floors
// of inside positions being small integers, and the store truncates before
// it saturates, which gives the same sample since every sum lies far inside
// the int32 range.
//
// Taps are fetched as 8-byte words, one per lane, from clamped byte offsets
// (lanes outside the source read at offset 0), so interior and border pixels
// share one path. The words are read by scalar loads: hardware gathers are
// several times slower on some CPUs (AMD Zen 2 to 4). Neighbouring taps of a
// row are at most one pixel apart after clamping, so one word serves every
// tap whose pixel it covers; the others are shifted out of it. A group whose
// last tap lies within 8 bytes of the end of the source (only near the
// bottom-right corner) goes to the scalar sampler instead, so no read ever
// leaves the source buffer.
//
// V provides: lanes; D (doubles), I (int32), M (lane mask), R (a 64-bit word
// per lane); set, set_i32, load, load_floats, spill, add, sub, mul, div,
// floor, max, min, ge, le, lt, gt, both, none, every, any, all, all_within,
// keep, to_i32, to_i32_or_zero, keep_i32, add_i32, sub_i32, max_i32, min_i32,
// mul_i32, shl_i32<k>, any_above, words, bias, biased_offset, words_from,
// table_entries, shift_count, shift_out, repeat_pixel_unless<bytes>,
// with_exponent, channel and store<T, C>. It may provide biased_channel and
// fmadd (see BiasedSamples),
// word_pairs_from<skip>, which reads a word and the word `skip` bytes after
// it for each lane at once, and single-precision lanes for two groups (F, J
// and the operations of bilinear_finish_floats). A word is passed through
// with_exponent (which may use its top two bytes) before channel reads a
// sample from it.

#define TREVALIN_KERNEL [[gnu::always_inline]] inline

// A byte shuffle over an N-byte vector that moves `count` bytes starting at
// `first` of every 64-bit word to the bottom of that word and clears the rest,
// or keeps the top two bytes in place (keep_top).
template <int N>
struct ByteShuffle {
    alignas(N) signed char b[N];
};

template <int N, int first, int count, bool keep_top = false>
constexpr ByteShuffle<N> pick_bytes() {
    ByteShuffle<N> r{};
    for (int i = 0; i < N; ++i) {
        int word = (i % 16) / 8;
        int b = i % 8;
        int from = b < count ? first + b : keep_top && b >= 6 ? b : -1;
        r.b[i] = static_cast<signed char>(from < 0 ? -128 : word * 8 + from);
    }
    return r;
}

// A byte shuffle over an N-byte vector that copies the first `pixel` bytes of
// every 64-bit word over the next `pixel` bytes.
template <int N, int pixel>
constexpr ByteShuffle<N> repeat_first() {
    ByteShuffle<N> r{};
    for (int i = 0; i < N; ++i) {
        int b = i % 8;
        r.b[i] = static_cast<signed char>(i - b + (b < 2 * pixel ? b % pixel : b));
    }
    return r;
}

// For 8-bit RGB words holding two pixels: a byte shuffle over an N-byte
// vector that picks channel c of the first pixel of each of a 128-bit lane's
// two words, then of the second pixel, as int32.
template <int N>
constexpr ByteShuffle<N> pair_samples_of(int c) {
    ByteShuffle<N> r{};
    for (int i = 0; i < N; ++i) {
        const int slot = (i % 16) / 4;  // first/second word, first pixel; then second pixel
        r.b[i] = static_cast<signed char>(i % 4 != 0 ? -128 : 8 * (slot % 2) + 3 * (slot / 2) + c);
    }
    return r;
}

// A byte shuffle over an N-byte vector that turns the bytes r0-3 g0-3 b0-3 of
// every 128-bit lane into four interleaved RGB pixels, clearing the rest.
template <int N>
constexpr ByteShuffle<N> rgb_of_lanes() {
    constexpr int order[16] = {0, 4, 8, 1, 5, 9, 2, 6, 10, 3, 7, 11, -128, -128, -128, -128};
    ByteShuffle<N> r{};
    for (int i = 0; i < N; ++i) r.b[i] = static_cast<signed char>(order[i % 16]);
    return r;
}

// Byte offsets below 2^52 held as doubles become 64-bit indices by adding
// 2^52: their bits are then 2^52's pattern plus the offset, which added to
// the address of the base moved down by that pattern gives base + offset.
constexpr std::uintptr_t kTwo52Bits = 0x4330000000000000ull;

TREVALIN_KERNEL std::uintptr_t two52_indexed(const unsigned char* base) {
    return reinterpret_cast<std::uintptr_t>(base) - kTwo52Bits;
}

// The 8 bytes at the address two52_indexed(base) + index.
TREVALIN_KERNEL long long word_at(std::uintptr_t from, long long index) {
    long long w;
    std::memcpy(&w, reinterpret_cast<const void*>(from + static_cast<std::uintptr_t>(index)), 8);
    return w;
}

TREVALIN_KERNEL void store12(void* out, __m128i v) {
    _mm_storel_epi64(static_cast<__m128i*>(out), v);
    int high = _mm_extract_epi32(v, 2);
    std::memcpy(static_cast<char*>(out) + 8, &high, 4);
}

// Four pixels of truncated sums, saturated to [0, MAX] by the unsigned packs
// and interleaved into `out`.
template <class T, int C>
TREVALIN_KERNEL void store4(T* out, const __m128i (&q)[C]) {
    if constexpr (C == 1 && sizeof(T) == 1) {
        int v = _mm_cvtsi128_si32(_mm_packus_epi16(_mm_packus_epi32(q[0], q[0]), _mm_setzero_si128()));
        std::memcpy(out, &v, 4);
    } else if constexpr (C == 1) {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi32(q[0], q[0]));
    } else if constexpr (sizeof(T) == 1) {
        // 8-bit sums stay far below 32768, so the second pack sees them unsigned.
        __m128i bytes = _mm_packus_epi16(_mm_packus_epi32(q[0], q[1]), _mm_packus_epi32(q[2], q[2]));
        constexpr ByteShuffle<16> interleave = rgb_of_lanes<16>();
        store12(out, _mm_shuffle_epi8(bytes, _mm_load_si128(reinterpret_cast<const __m128i*>(interleave.b))));
    } else {
        __m128i rg = _mm_packus_epi32(q[0], q[1]);  // r0..r3 g0..g3
        __m128i bb = _mm_packus_epi32(q[2], q[2]);  // b0..b3 b0..b3
        __m128i lo = _mm_or_si128(
            _mm_shuffle_epi8(rg, _mm_setr_epi8(0, 1, 8, 9, -1, -1, 2, 3, 10, 11, -1, -1, 4, 5, 12, 13)),
            _mm_shuffle_epi8(bb, _mm_setr_epi8(-1, -1, -1, -1, 0, 1, -1, -1, -1, -1, 2, 3, -1, -1, -1, -1)));
        __m128i hi = _mm_or_si128(
            _mm_shuffle_epi8(rg, _mm_setr_epi8(-1, -1, 6, 7, 14, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1)),
            _mm_shuffle_epi8(bb, _mm_setr_epi8(4, 5, -1, -1, -1, -1, 6, 7, -1, -1, -1, -1, -1, -1, -1, -1)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), lo);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 8), hi);
    }
}

// Constants of one row call.
template <class V, class T, int C>
struct Frame {
    static constexpr int pixel_bytes = C * static_cast<int>(sizeof(T));
    const SourceImage<T>& src;
    const Lanczos3Weights* table;
    typename V::D low, x_high, y_high;  // inside limits: -0.5, w - 0.5, h - 0.5
    typename V::I x_last, y_last;       // w - 1, h - 1
    typename V::I row_bytes;
    typename V::I read_limit;  // largest offset at which 8 bytes can be read
    // The same limits as doubles, for the bilinear taps.
    typename V::D x_last_d, y_last_d, row_bytes_d, pixel_bytes_d;
    typename V::D last_row_tap;  // largest offset of a tap-0 word whose tap-1 word can be read
    // Bilinear groups whose lanes all lie in [0, x_inner) x [0, y_inner) need
    // no clamping: both columns and rows exist, and the last word read for a
    // pixel ends within its row.
    typename V::D x_inner, y_inner;

    Frame(const SourceImage<T>& s, const Lanczos3Weights* t)
        : src(s),
          table(t),
          low(V::set(-0.5)),
          x_high(V::set(static_cast<double>(s.w) - 0.5)),
          y_high(V::set(static_cast<double>(s.h) - 0.5)),
          x_last(V::set_i32(static_cast<int>(s.w - 1))),
          y_last(V::set_i32(static_cast<int>(s.h - 1))),
          row_bytes(V::set_i32(static_cast<int>(s.w * pixel_bytes))),
          read_limit(V::set_i32(static_cast<int>(s.len * sizeof(T) - 8))),
          x_last_d(V::set(static_cast<double>(s.w - 1))),
          y_last_d(V::set(static_cast<double>(s.h - 1))),
          row_bytes_d(V::set(static_cast<double>(s.w * pixel_bytes))),
          pixel_bytes_d(V::set(pixel_bytes)),
          last_row_tap(V::set(static_cast<double>(s.len * sizeof(T)) - 8.0 - pixel_bytes)),
          x_inner(V::set(static_cast<double>(s.w) + 1.0 - (2 * pixel_bytes > 8 ? 1 : 0) -
                         (8 + pixel_bytes - 1) / pixel_bytes)),
          y_inner(V::set(static_cast<double>(s.h) - 1.0)),
          row_len(s.w * pixel_bytes) {}

    std::size_t row_len;  // bytes per source row

    const unsigned char* bytes() const { return reinterpret_cast<const unsigned char*>(src.data); }
};

template <class V, class T, int C, Filter F>
void sample_scalar(const Frame<V, T, C>& fr, T* out_px, double x, double y) {
    if constexpr (F == Filter::Bilinear)
        sample_bilinear<T, C>(fr.src.data, fr.src.len, fr.src.w, fr.src.h, out_px, x, y);
    else
        sample_lanczos3<T, C>(fr.src.data, fr.src.len, fr.src.w, fr.src.h, out_px, x, y, fr.table, lanczos3_entries);
}

// The group's pixels one by one through the scalar sampler; those outside
// are set to 0.
template <class V, class T, int C, Filter F>
[[gnu::noinline]] void sample_group_scalar(const Frame<V, T, C>& fr, typename V::D x, typename V::D y, T* out) {
    std::memset(out, 0, sizeof(T) * C * V::lanes);
    alignas(64) double xs[V::lanes];
    alignas(64) double ys[V::lanes];
    V::spill(xs, x);
    V::spill(ys, y);
    for (int k = 0; k < V::lanes; ++k) sample_scalar<V, T, C, F>(fr, out + k * C, xs[k], ys[k]);
}

// Byte offset of column x within a row.
template <class V, class T, int C>
TREVALIN_KERNEL typename V::I column_bytes(typename V::I x) {
    constexpr int px = Frame<V, T, C>::pixel_bytes;
    if constexpr (px == 1) return x;
    if constexpr (px == 2) return V::template shl_i32<1>(x);
    if constexpr (px == 3) return V::add_i32(x, V::template shl_i32<1>(x));
    if constexpr (px == 6) return V::add_i32(V::template shl_i32<1>(x), V::template shl_i32<2>(x));
}

// Tap f + k clamped into [0, last].
template <class V>
TREVALIN_KERNEL typename V::I clamp_tap(typename V::I f, int k, typename V::I last) {
    return V::min_i32(V::max_i32(V::add_i32(f, V::set_i32(k)), V::set_i32(0)), last);
}

// Whether V gives samples biased by 2^52 for weigh(): biased_channel reads
// the double 2^52 + p of a sample p from a word passed through
// with_exponent.
template <class V>
concept BiasedSamples = requires(typename V::R r) { V::template biased_channel<0, 1>(r); };

// Sample `at` bytes into each lane's word as a double; biased by 2^52 where
// `biased` asks for it.
template <class V, int at, int count, bool biased>
TREVALIN_KERNEL typename V::D channel_at(typename V::R raw) {
    if constexpr (biased)
        return V::template biased_channel<at, count>(raw);
    else
        return V::template channel<at, count>(raw);
}

// Sample c of the pixel that starts `skip` bytes into each lane's word, as a
// double; biased by 2^52 where `biased` asks for it (V offering that).
template <class V, class T, int skip = 0, bool biased = false>
TREVALIN_KERNEL typename V::D channel(typename V::R raw, int c) {
    constexpr int n = sizeof(T);
    // c is a compile-time constant after unrolling; the switch folds away.
    switch (c) {
        case 0:
            return channel_at<V, skip, n, biased>(raw);
        case 1:
            return channel_at<V, skip + n, n, biased>(raw);
        default:
            return channel_at<V, skip + 2 * n, n, biased>(raw);
    }
}

// A weight w and what weigh() needs besides: -2^52 w for biased samples.
template <class V>
struct Weight {
    typename V::D w, unbias;
};

template <class V>
TREVALIN_KERNEL Weight<V> weight(typename V::D w) {
    if constexpr (BiasedSamples<V>)
        return {w, V::mul(w, V::set(-0x1p52))};
    else
        return {w, w};
}

// The documented product p * w of sample c of a word (passed through
// with_exponent) and a weight. A biased sample b = 2^52 + p takes one fused
// step instead of a conversion and a product: -2^52 w is exact (a power of
// two times a double), so b * w - 2^52 w is p * w exactly before its only
// rounding, and the fused step rounds it as the product would. (A zero
// product may come out +0 where the product is -0; every sum it enters and
// the store's + 0.5 then give the same value either way.) The bilinear
// kernels keep the product apart: there the fused steps would crowd the
// multipliers' pipes, which their four products a sample fill already.
template <class V, class T>
TREVALIN_KERNEL typename V::D weigh(typename V::R raw, int c, const Weight<V>& w) {
    if constexpr (BiasedSamples<V>)
        return V::fmadd(channel<V, T, 0, true>(raw, c), w.w, w.unbias);
    else
        return V::mul(channel<V, T>(raw, c), w.w);
}

template <class V, class T, int C>
TREVALIN_KERNEL typename V::M inside(const Frame<V, T, C>& fr, typename V::D x, typename V::D y) {
    return V::both(V::both(V::ge(x, fr.low), V::le(x, fr.x_high)), V::both(V::ge(y, fr.low), V::le(y, fr.y_high)));
}

// Store rule per lane: s + 0.5 (the only rounding step) truncated, then
// saturated to [0, MAX] by the packing; lanes outside `in` store 0, which is
// what the zero-filled output already holds there.
// A group whose lanes all lie inside needs no mask (`masked` false).
template <class V, class T, int C, bool masked = true>
TREVALIN_KERNEL void store_group(T* out, const typename V::D (&s)[C], typename V::M in) {
    const auto half = V::set(0.5);
    typename V::I q[C];
    _Pragma("GCC unroll 8")
    for (int c = 0; c < C; ++c) {
        const auto v = V::add(s[c], half);
        q[c] = masked ? V::to_i32_or_zero(in, v) : V::to_i32(v);
    }
    V::template store<T, C>(out, q);
}

// A bilinear group is sampled in two stages: `fetch` works out the taps and
// starts their loads, `finish` weighs and stores them. The row loops fetch
// the next group before they finish the current one, so the long chain of a
// group's position, division and loads overlaps the arithmetic of the group
// before it instead of stalling it.
//
// Where two pixels fit in a word, the word read at the first column holds
// both columns of its row (`paired`): r10 and r11 are then unused, and the
// second column's samples are read from r00 and r01 one pixel further on.
template <class V, class T, int C>
struct BilinearTaps {
    static constexpr int pixel_bytes = Frame<V, T, C>::pixel_bytes;
    static constexpr bool paired = 2 * pixel_bytes <= 8;
    typename V::M in;      // lanes inside the source
    bool written;          // the scalar sampler has already written the group
    typename V::D tx, ty;  // fractions
    typename V::R r00, r10, r01, r11;
};

template <class V, class T, int C>
TREVALIN_KERNEL BilinearTaps<V, T, C> bilinear_fetch(const Frame<V, T, C>& fr, typename V::D x, typename V::D y,
                                                     T* out) {
    using D = typename V::D;
    BilinearTaps<V, T, C> t;
    t.written = false;
    D fx = V::floor(x);
    D fy = V::floor(y);
    t.tx = V::sub(x, fx);
    t.ty = V::sub(y, fy);
    const D zero = V::set(0.0);
    // Most groups lie well inside the source: their taps are the floors and
    // the pixels after them, with no clamping and no end-of-source test.
    if (V::all_within(x, y, fr.x_inner, fr.y_inner)) [[likely]] {
        t.in = V::every();
        const D at00 = V::biased_offset(fy, fr.row_bytes_d, fx, fr.pixel_bytes_d);
        // The other taps at fixed distances: the same offsets from moved bases.
        constexpr int px = Frame<V, T, C>::pixel_bytes;
        if constexpr (BilinearTaps<V, T, C>::paired) {
            t.r00 = V::words_from(fr.bytes(), at00);
            t.r01 = V::words_from(fr.bytes() + fr.row_len, at00);
        } else if constexpr (requires { V::template word_pairs_from<px>(fr.bytes(), at00, t.r00, t.r10); }) {
            // Both columns of a row from one read per lane.
            V::template word_pairs_from<px>(fr.bytes(), at00, t.r00, t.r10);
            V::template word_pairs_from<px>(fr.bytes() + fr.row_len, at00, t.r01, t.r11);
        } else {
            t.r00 = V::words_from(fr.bytes(), at00);
            t.r01 = V::words_from(fr.bytes() + fr.row_len, at00);
            t.r10 = V::words_from(fr.bytes() + px, at00);
            t.r11 = V::words_from(fr.bytes() + fr.row_len + px, at00);
        }
        return t;
    }
    // Lanes outside compute garbage that is neither read through nor stored.
    t.in = inside(fr, x, y);
    // Groups wholly outside (the margins of a warp) read nothing.
    if (!V::any(t.in)) return t;
    // Inside, -0.5 <= x <= w - 0.5 puts the floor in [-1, w - 1]: the first
    // tap can only fall below the range and the second only above it. Tap
    // columns, rows and byte offsets are small whole numbers, exact in
    // doubles.
    const D one = V::set(1.0);
    D x0 = V::max(fx, zero);
    D x1 = V::min(V::add(fx, one), fr.x_last_d);
    D y0 = V::mul(V::max(fy, zero), fr.row_bytes_d);
    D y1 = V::mul(V::min(V::add(fy, one), fr.y_last_d), fr.row_bytes_d);
    D x0_bytes = V::mul(x0, fr.pixel_bytes_d);
    D at00 = V::add(y0, x0_bytes);
    D at01 = V::add(y1, x0_bytes);
    // A group that reads near the end of the source goes to the scalar
    // sampler at once (its pixels are its own, so the order of the writes
    // does not matter) and leaves no lane to load. The test allows for a
    // second column after every first one.
    if (V::any(V::both(t.in, V::gt(at01, fr.last_row_tap)))) [[unlikely]] {
        sample_group_scalar<V, T, C, Filter::Bilinear>(fr, x, y, out);
        t.in = V::none();
        t.written = true;
    }
    auto lanes = t.in;
    t.r00 = V::words_from(fr.bytes(), V::bias(lanes, at00));
    t.r01 = V::words_from(fr.bytes(), V::bias(lanes, at01));
    if constexpr (BilinearTaps<V, T, C>::paired) {
        // x1 is x0 or the pixel right after it; where it is x0 (at the left
        // or right edge), the word's first pixel is copied over the second.
        auto next = V::gt(x1, x0);
        t.r00 = V::template repeat_pixel_unless<BilinearTaps<V, T, C>::pixel_bytes>(t.r00, next);
        t.r01 = V::template repeat_pixel_unless<BilinearTaps<V, T, C>::pixel_bytes>(t.r01, next);
    } else {
        D x1_bytes = V::mul(x1, fr.pixel_bytes_d);
        t.r10 = V::words_from(fr.bytes(), V::bias(lanes, V::add(y0, x1_bytes)));
        t.r11 = V::words_from(fr.bytes(), V::bias(lanes, V::add(y1, x1_bytes)));
    }
    return t;
}

template <class V, class T, int C>
TREVALIN_KERNEL void bilinear_finish(const BilinearTaps<V, T, C>& t, T* out) {
    using D = typename V::D;
    if (!V::any(t.in)) {
        if (!t.written) std::memset(out, 0, sizeof(T) * C * V::lanes);
        return;
    }
    using Taps = BilinearTaps<V, T, C>;
    constexpr int skip = Taps::paired ? Taps::pixel_bytes : 0;
    const typename V::R r00 = V::with_exponent(t.r00), r01 = V::with_exponent(t.r01);
    const typename V::R r10 = Taps::paired ? r00 : V::with_exponent(t.r10);
    const typename V::R r11 = Taps::paired ? r01 : V::with_exponent(t.r11);
    const D one = V::set(1.0);
    D ux = V::sub(one, t.tx);
    D uy = V::sub(one, t.ty);
    D w00 = V::mul(ux, uy);
    D w10 = V::mul(t.tx, uy);
    D w01 = V::mul(ux, t.ty);
    D w11 = V::mul(t.tx, t.ty);
    D s[C];
    _Pragma("GCC unroll 8")
    for (int c = 0; c < C; ++c) {
        D acc = V::mul(channel<V, T>(r00, c), w00);
        acc = V::add(acc, V::mul(channel<V, T, skip>(r10, c), w10));
        acc = V::add(acc, V::mul(channel<V, T>(r01, c), w01));
        s[c] = V::add(acc, V::mul(channel<V, T, skip>(r11, c), w11));
    }
    if (V::all(t.in))
        store_group<V, T, C, false>(out, s, t.in);
    else
        store_group<V, T, C>(out, s, t.in);
}

// Pairs of whole 8-bit RGB groups weighed in single precision first.
//
// Where V offers single-precision lanes for two groups (V::F), a pair of
// groups whose lanes all lie inside is weighed with floats and fused
// multiply-adds, twice as many pixels per operation as in doubles. That sum
// s' is only an estimate of the documented double sum s, with a proven bound:
// - the float fractions and their complements are within 2^-24 (1 + 2^-24)
//   of the exact ones, so each float weight, one more rounding on top, is
//   within 3.0003 * 2^-24 of its exact value (1 - tx)(1 - ty), tx(1 - ty), ...;
//   over four samples of at most 255 that is at most 1.83e-4;
// - each of the four fused steps rounds once, by at most 2^-17 below 256:
//   3.1e-5 in all;
// - the double sum is within 1e-12 of the exact one.
// So |s' - s| < 2.14e-4. The stored sample is trunc(s + 0.5) (the double
// rounding of s + 0.5 moves it by less than 2^-44; every sum is at least 0, so
// truncating is flooring). When the truncations of s' + 0.5 - m and s' + 0.5 +
// m agree (0.5 -/+ m being exact floats), with m = 3 * 2^-13 (3.66e-4)
// covering that bound, the two float roundings of those sums (2^-16 each below
// 512) and the 2^-44, no rounding step lies within reach of s + 0.5: the
// common value is the stored sample. Where any lane of any channel disagrees,
// the pair is weighed again in doubles. Sums that sit on a half (a pixel
// halfway between two samples of odd sum, as in a twofold enlargement) always
// disagree: a row that misses too often weighs the rest of its pairs in
// doubles at once.
template <class V, class T, int C>
concept FloatPairs = sizeof(T) == 1 && C == 3 && requires { typename V::F; };

template <class V, class T, int C>
TREVALIN_KERNEL bool bilinear_finish_floats(const BilinearTaps<V, T, C>& a, const BilinearTaps<V, T, C>& b, T* out) {
    using F = typename V::F;
    using J = typename V::J;
    typename V::R x0, y0, x1, y1;
    V::regroup(a.r00, b.r00, x0, y0);
    V::regroup(a.r01, b.r01, x1, y1);
    const F one = V::fset(1.0f);
    const F tx = V::floats(a.tx, b.tx), ty = V::floats(a.ty, b.ty);
    const F ux = V::fsub(one, tx), uy = V::fsub(one, ty);
    const F w00 = V::fmul(ux, uy), w10 = V::fmul(tx, uy), w01 = V::fmul(ux, ty), w11 = V::fmul(tx, ty);
    const F below = V::fset(0.5f - 0x3p-13f), above = V::fset(0.5f + 0x3p-13f);
    J q[C];
    decltype(V::same(q[0], q[0])) agree{};
    _Pragma("GCC unroll 8")
    for (int c = 0; c < C; ++c) {
        F p00, p10, p01, p11;
        V::pixel_pair(x0, y0, c, p00, p10);
        V::pixel_pair(x1, y1, c, p01, p11);
        const F s = V::fmadd(p11, w11, V::fmadd(p01, w01, V::fmadd(p10, w10, V::fmul(p00, w00))));
        q[c] = V::ftrunc(V::fadd(s, below));
        const auto same = V::same(q[c], V::ftrunc(V::fadd(s, above)));
        agree = c == 0 ? same : V::both_j(agree, same);
    }
    if (!V::all_j(agree)) return false;
    V::template store_pair<T, C>(out, q);
    return true;
}

// round(1024 t) with halves away from zero, for t in [0, 1]: floor, then up
// when the exact remainder reaches one half. Returned as the entry's offset
// in doubles.
template <class V>
TREVALIN_KERNEL typename V::I table_offset(typename V::D t) {
    auto v = V::mul(t, V::set(1024.0));
    auto r = V::floor(v);
    r = V::add(r, V::keep(V::ge(V::sub(v, r), V::set(0.5)), V::set(1.0)));
    auto k = V::to_i32(r);
    return V::add_i32(V::template shl_i32<1>(k), V::template shl_i32<2>(k));
}

template <class V, class T, int C>
TREVALIN_KERNEL void lanczos3_group(const Frame<V, T, C>& fr, typename V::D x, typename V::D y, T* out) {
    using D = typename V::D;
    using I = typename V::I;
    using R = typename V::R;
    // Taps served by one 8-byte word; its top two bytes stay free for
    // with_exponent.
    constexpr int span = 6 / Frame<V, T, C>::pixel_bytes;
    auto in = inside(fr, x, y);
    if (!V::any(in)) return;
    D fx = V::floor(x);
    D fy = V::floor(y);
    I ix = V::to_i32(fx);
    I iy = V::to_i32(fy);
    I cols[6];
    I rows[6];
    _Pragma("GCC unroll 8")
    for (int k = 0; k < 6; ++k) {
        cols[k] = column_bytes<V, T, C>(clamp_tap<V>(ix, k - 2, fr.x_last));
        rows[k] = V::mul_i32(clamp_tap<V>(iy, k - 2, fr.y_last), fr.row_bytes);
    }
    if (V::any_above(in, V::add_i32(rows[5], cols[5]), fr.read_limit))
        return sample_group_scalar<V, T, C, Filter::Lanczos3>(fr, x, y, out);
    // Lanes outside read at offset 0 and table entry 0, inside the source and
    // the table, whether or not V masks its loads.
    _Pragma("GCC unroll 8")
    for (int k = 0; k < 6; ++k) {
        rows[k] = V::keep_i32(in, rows[k]);
        cols[k] = V::keep_i32(in, cols[k]);
    }

    // Where each tap sits in the word read for its span.
    R steps[6];
    _Pragma("GCC unroll 8")
    for (int i = 0; i < 6; ++i) steps[i] = V::shift_count(V::sub_i32(cols[i], cols[i / span * span]));

    I ex = table_offset<V>(V::keep(in, V::sub(x, fx)));
    I ey = table_offset<V>(V::keep(in, V::sub(y, fy)));
    const double* table = fr.table[0].tap;
    D wx[6], wy[6];
    V::table_entries(in, table, ex, wx);
    V::table_entries(in, table, ey, wy);
    D acc[C];
    _Pragma("GCC unroll 8")
    for (int c = 0; c < C; ++c) acc[c] = V::set(0.0);
    _Pragma("GCC unroll 8")
    for (int j = 0; j < 6; ++j) {
        R word = V::words(fr.bytes(), V::add_i32(rows[j], cols[0]));
        _Pragma("GCC unroll 8")
        for (int i = 0; i < 6; ++i) {
            if (i % span == 0 && i != 0) word = V::words(fr.bytes(), V::add_i32(rows[j], cols[i]));
            R raw = V::with_exponent(i % span == 0 ? word : V::shift_out(word, steps[i]));
            const Weight<V> wij = weight<V>(V::mul(wx[i], wy[j]));
            _Pragma("GCC unroll 8")
            for (int c = 0; c < C; ++c) acc[c] = V::add(acc[c], weigh<V, T>(raw, c, wij));
        }
    }
    store_group<V, T, C>(out, acc, in);
}

// The pairs of bilinear groups of a row from its start, weighed in floats
// (see bilinear_finish_floats), each pair fetched before the one ahead of it
// is finished. A pair whose estimate misses is noted and weighed again in
// doubles later, from taps fetched anew by refetch(first pixel): keeping its
// taps for that would crowd the float path's registers. A row goes on in
// doubles once 16 times its misses exceed the pairs it tried plus 16 (at a
// second miss among its first 15 pairs, later when more than one pair in 16
// has missed), or once 64 pairs wait. The waiting pairs are weighed at the
// end, in one place and inlined: a call that is not inlined would take the
// addresses of the row's constants, and the compiler would then read them
// again after every store of the row.
// Returns the pixels done, a whole number of groups.
template <class V, class T, int C, class Fetch, class Refetch>
TREVALIN_KERNEL std::size_t bilinear_float_pairs(std::size_t n, T* out, Fetch&& fetch, Refetch&& refetch) {
    constexpr std::size_t L = V::lanes;
    constexpr std::size_t kNoted = 64;
    std::size_t noted[kNoted];
    std::size_t pending = 0, tried = 0, missed = 0;
    auto finish = [&](const BilinearTaps<V, T, C>& a, const BilinearTaps<V, T, C>& b, std::size_t at)
                      __attribute__((always_inline)) {
        if (V::all(a.in) && V::all(b.in)) [[likely]] {
            ++tried;
            if (bilinear_finish_floats<V, T, C>(a, b, out + at * C)) [[likely]] return;
            ++missed;
            noted[pending++] = at;
            return;
        }
        bilinear_finish<V, T, C>(a, out + at * C);
        bilinear_finish<V, T, C>(b, out + (at + L) * C);
    };
    // Two pairs a turn, so that the taps change places without copies.
    BilinearTaps<V, T, C> p[4];
    p[0] = fetch(0);
    p[1] = fetch(L);
    std::size_t x = 0;
    auto turn = [&](BilinearTaps<V, T, C>* now, BilinearTaps<V, T, C>* next) __attribute__((always_inline)) {
        next[0] = fetch(x + 2 * L);
        next[1] = fetch(x + 3 * L);
        finish(now[0], now[1], x);
        x += 2 * L;
        if (16 * missed > tried + 16 || pending == kNoted) [[unlikely]] {
            bilinear_finish<V, T, C>(next[0], out + x * C);
            bilinear_finish<V, T, C>(next[1], out + (x + L) * C);
            return false;
        }
        return true;
    };
    for (;;) {
        if (x + 4 * L > n) {
            finish(p[0], p[1], x);
            break;
        }
        if (!turn(p, p + 2)) break;
        if (x + 4 * L > n) {
            finish(p[2], p[3], x);
            break;
        }
        if (!turn(p + 2, p)) break;
    }
    for (std::size_t i = 0; i < pending; ++i) {
        bilinear_finish<V, T, C>(refetch(noted[i]), out + noted[i] * C);
        bilinear_finish<V, T, C>(refetch(noted[i] + L), out + (noted[i] + L) * C);
    }
    return x + 2 * L;
}

// The whole bilinear groups of a row from its start, each fetched (by
// fetch(first pixel)) before the group ahead of it is finished; returns the
// pixels done. refetch(first pixel) fetches a group out of turn.
template <class V, class T, int C, class Fetch, class Refetch>
TREVALIN_KERNEL std::size_t bilinear_groups(std::size_t n, T* out, Fetch&& fetch, Refetch&& refetch) {
    if (n < V::lanes) return 0;
    std::size_t x = 0;
    if constexpr (FloatPairs<V, T, C>) {
        if (n >= 2 * V::lanes) {
            x = bilinear_float_pairs<V, T, C>(n, out, fetch, refetch);
            if (x + V::lanes > n) return x;
        }
    }
    // Two groups a turn, so that the taps change places without copies.
    // Finishes the group `now` at x; false when it was the last one.
    BilinearTaps<V, T, C> t[2];
    auto step = [&](BilinearTaps<V, T, C>& now, BilinearTaps<V, T, C>& next) __attribute__((always_inline)) {
        if (x + 2 * V::lanes > n) {
            bilinear_finish<V, T, C>(now, out + x * C);
            return false;
        }
        next = fetch(x + V::lanes);
        bilinear_finish<V, T, C>(now, out + x * C);
        x += V::lanes;
        return true;
    };
    t[0] = fetch(x);
    while (step(t[0], t[1]) && step(t[1], t[0])) {
    }
    return x + V::lanes;
}

// A map may lead each output row along a curve through the source, crossing
// its rows where no hardware prefetcher follows: the taps of the pixel a
// little way ahead are asked for early. Only a hint, so positions outside the
// source (or NaN, which converts to the integer indefinite value) are not
// worth a test: a prefetch never faults.
constexpr std::size_t kPrefetchAhead = 48;
constexpr std::size_t kPrefetchEvery = 8;

// At every kPrefetchEvery-th output pixel `at` of an n-pixel row: `rows`
// source rows from `back` pixels above and left of the position kPrefetchAhead
// pixels further on.
template <class V, class T, int C, int rows>
TREVALIN_KERNEL void prefetch_taps(const Frame<V, T, C>& fr, const float* map_x, const float* map_y, std::size_t at,
                                   std::size_t n, float back) {
    if ((at & (kPrefetchEvery - 1)) != 0 || at + kPrefetchAhead >= n) return;
    const auto column = static_cast<std::uintptr_t>(_mm_cvttss_si64(_mm_set_ss(map_x[at + kPrefetchAhead] - back)));
    const auto row = static_cast<std::uintptr_t>(_mm_cvttss_si64(_mm_set_ss(map_y[at + kPrefetchAhead] - back)));
    const std::uintptr_t first =
        reinterpret_cast<std::uintptr_t>(fr.bytes()) + row * fr.row_len + column * Frame<V, T, C>::pixel_bytes;
    _Pragma("GCC unroll 8")
    for (int k = 0; k < rows; ++k) __builtin_prefetch(reinterpret_cast<const void*>(first + k * fr.row_len));
}

template <class V, class T, int C, Filter F>
void remap_row(const SourceImage<T>& src, const float* map_x, const float* map_y, std::size_t n, T* out,
               const Lanczos3Weights* table) {
    const Frame<V, T, C> fr(src, table);
    std::size_t x = 0;
    if constexpr (F == Filter::Lanczos3) std::memset(out, 0, sizeof(T) * C * n);
    if constexpr (F == Filter::Bilinear) {
        auto taps_at = [&](std::size_t at) __attribute__((always_inline)) {
            return bilinear_fetch<V, T, C>(fr, V::load_floats(map_x + at), V::load_floats(map_y + at), out + at * C);
        };
        x = bilinear_groups<V, T, C>(
            n, out,
            [&](std::size_t at) __attribute__((always_inline)) {
                prefetch_taps<V, T, C, 2>(fr, map_x, map_y, at, n, 0.0f);
                return taps_at(at);
            },
            taps_at);
    } else {
        for (; x + V::lanes <= n; x += V::lanes) {
            prefetch_taps<V, T, C, 6>(fr, map_x, map_y, x, n, 2.0f);
            lanczos3_group<V, T, C>(fr, V::load_floats(map_x + x), V::load_floats(map_y + x), out + x * C);
        }
    }
    for (; x < n; ++x) {
        std::memset(out + x * C, 0, sizeof(T) * C);
        sample_scalar<V, T, C, F>(fr, out + x * C, static_cast<double>(map_x[x]), static_cast<double>(map_y[x]));
    }
}

template <class V, class T, Filter F>
void warp_row(const SourceImage<T>& src, const WarpRow& row, std::size_t n, T* out, const Lanczos3Weights* table) {
    const Frame<V, T, 3> fr(src, table);
    const auto cx = V::set(row.cx);
    const auto cy = V::set(row.cy);
    const auto cw = V::set(row.cw);
    // A zero w gives infinite or NaN positions, which are outside: the lanes
    // need no test of their own.
    auto position = [&](std::size_t at, typename V::D& sx, typename V::D& sy) __attribute__((always_inline)) {
        auto w = V::add(V::load(row.h6u + at), cw);
        sx = V::div(V::add(V::load(row.h0u + at), cx), w);
        sy = V::div(V::add(V::load(row.h3u + at), cy), w);
    };
    std::size_t x = 0;
    if constexpr (F == Filter::Lanczos3) std::memset(out, 0, sizeof(T) * 3 * n);
    if constexpr (F == Filter::Bilinear) {
        // Groups in flight: the position of one, the taps of the next, the
        // arithmetic of the third. A group's fetch works out the position of
        // the group after it; with four lanes and pairs of groups weighed in
        // floats (few operations a group), of the group two after it, so
        // that its divisions have longer to finish. (With eight lanes that
        // costs more in registers than it gains.)
        constexpr bool deep = FloatPairs<V, T, 3> && V::lanes == 4;
        typename V::D nx = V::set(0.0), ny = nx, mx = nx, my = nx;
        if (n >= V::lanes) position(0, nx, ny);
        if (deep && n >= 2 * V::lanes) position(V::lanes, mx, my);
        x = bilinear_groups<V, T, 3>(
            n, out,
            [&](std::size_t at) __attribute__((always_inline)) {
                const typename V::D sx = nx, sy = ny;
                if constexpr (deep) {
                    nx = mx;
                    ny = my;
                    if (at + 3 * V::lanes <= n) position(at + 2 * V::lanes, mx, my);
                } else if (at + 2 * V::lanes <= n) {
                    position(at + V::lanes, nx, ny);
                }
                return bilinear_fetch<V, T, 3>(fr, sx, sy, out + at * 3);
            },
            [&](std::size_t at) __attribute__((always_inline)) {
                typename V::D sx, sy;
                position(at, sx, sy);
                return bilinear_fetch<V, T, 3>(fr, sx, sy, out + at * 3);
            });
    } else {
        for (; x + V::lanes <= n; x += V::lanes) {
            typename V::D sx, sy;
            position(x, sx, sy);
            lanczos3_group<V, T, 3>(fr, sx, sy, out + x * 3);
        }
    }
    for (; x < n; ++x) {
        std::memset(out + x * 3, 0, sizeof(T) * 3);
        double w = row.h6u[x] + row.cw;
        if (w == 0.0) continue;
        sample_scalar<V, T, 3, F>(fr, out + x * 3, (row.h0u[x] + row.cx) / w, (row.h3u[x] + row.cy) / w);
    }
}

#undef TREVALIN_KERNEL
