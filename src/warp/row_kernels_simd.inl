// Vectorised row kernels, written once over a vector type V and included by
// one translation unit per instruction set (row_kernels_avx2.cpp,
// row_kernels_avx512.cpp), inside an anonymous namespace and a target pragma.
//
// V::lanes neighbouring output pixels are sampled at once, one per lane. Each
// lane performs exactly the double operations of sample_bilinear and
// sample_lanczos3, in the same order: vectorising across pixels never
// reassociates anything within a pixel, so the results are bit-identical to
// the scalar samplers. Taps are fetched with gathers of 8 bytes from clamped
// 32-bit byte offsets, so interior and border pixels share one path; a group
// whose last tap lies within 8 bytes of the end of the source (only near the
// bottom-right corner) is handed to the scalar sampler instead, so no read
// ever leaves the source buffer.
//
// V provides: lanes; D (doubles), I (int32 offsets), M (lane mask), R (one
// 64-bit word per lane); set, load, load_floats, add, sub, mul, div, min, max,
// floor, ge, le, both, any, keep (zero the lanes outside a mask), to_i32,
// add_i32, any_above, gather64, gather_table, channel<first_byte, bytes>,
// spill and store<T, C>.

#define TREVALIN_KERNEL [[gnu::always_inline]] inline

// Constants of one row call.
template <class V, class T, int C>
struct Frame {
    const SourceImage<T>& src;
    const Lanczos3Weights* table;
    typename V::D low, x_high, y_high;  // inside limits: -0.5, w - 0.5, h - 0.5
    typename V::D x_last, y_last;       // w - 1, h - 1
    typename V::D pixel_bytes, row_bytes;
    typename V::I read_limit;  // largest offset at which 8 bytes can be read

    Frame(const SourceImage<T>& s, const Lanczos3Weights* t)
        : src(s),
          table(t),
          low(V::set(-0.5)),
          x_high(V::set(static_cast<double>(s.w) - 0.5)),
          y_high(V::set(static_cast<double>(s.h) - 0.5)),
          x_last(V::set(static_cast<double>(s.w - 1))),
          y_last(V::set(static_cast<double>(s.h - 1))),
          pixel_bytes(V::set(static_cast<double>(C * sizeof(T)))),
          row_bytes(V::set(static_cast<double>(s.w * C * sizeof(T)))),
          read_limit(V::set_i32(static_cast<int>(s.len * sizeof(T) - 8))) {}

    const unsigned char* bytes() const { return reinterpret_cast<const unsigned char*>(src.data); }
};

template <class V, class T, int C, Filter F>
void sample_scalar(const Frame<V, T, C>& fr, T* out_px, double x, double y) {
    if constexpr (F == Filter::Bilinear)
        sample_bilinear<T, C>(fr.src.data, fr.src.len, fr.src.w, fr.src.h, out_px, x, y);
    else
        sample_lanczos3<T, C>(fr.src.data, fr.src.len, fr.src.w, fr.src.h, out_px, x, y, fr.table, lanczos3_entries);
}

// The group's pixels one by one through the scalar sampler.
template <class V, class T, int C, Filter F>
[[gnu::noinline]] void sample_group_scalar(const Frame<V, T, C>& fr, typename V::D x, typename V::D y, T* out) {
    alignas(64) double xs[V::lanes];
    alignas(64) double ys[V::lanes];
    V::spill(xs, x);
    V::spill(ys, y);
    _Pragma("GCC unroll 8")
    for (int k = 0; k < V::lanes; ++k) sample_scalar<V, T, C, F>(fr, out + k * C, xs[k], ys[k]);
}

// Store rule per lane (add 0.5, clamp to [0, MAX], truncate); lanes outside
// `in` store 0, which is what the zero-filled output already holds there.
template <class V, class T, int C>
TREVALIN_KERNEL void store_group(T* out, const typename V::D (&s)[C], typename V::M in) {
    const auto half = V::set(0.5);
    const auto zero = V::set(0.0);
    const auto top = V::set(sample_max<T>);
    typename V::I q[C];
    _Pragma("GCC unroll 8")
    for (int c = 0; c < C; ++c) q[c] = V::to_i32(V::keep(in, V::min(V::max(V::add(s[c], half), zero), top)));
    V::template store<T, C>(out, q);
}

template <class V, class T, int C>
TREVALIN_KERNEL typename V::D channel(typename V::R raw, int c) {
    // c is a compile-time constant after unrolling; the switch folds away.
    switch (c) {
        case 0:
            return V::template channel<0, sizeof(T)>(raw);
        case 1:
            return V::template channel<sizeof(T), sizeof(T)>(raw);
        default:
            return V::template channel<2 * sizeof(T), sizeof(T)>(raw);
    }
}

template <class V, class T, int C>
TREVALIN_KERNEL typename V::M inside(const Frame<V, T, C>& fr, typename V::D x, typename V::D y) {
    return V::both(V::both(V::ge(x, fr.low), V::le(x, fr.x_high)), V::both(V::ge(y, fr.low), V::le(y, fr.y_high)));
}

template <class V, class T, int C>
TREVALIN_KERNEL void bilinear_group(const Frame<V, T, C>& fr, typename V::D x, typename V::D y, T* out) {
    using D = typename V::D;
    using I = typename V::I;
    auto in = inside(fr, x, y);
    if (!V::any(in)) return;
    // Lanes outside sample pixel (0, 0) and are discarded at the store.
    D xs = V::keep(in, x);
    D ys = V::keep(in, y);
    D fx = V::floor(xs);
    D fy = V::floor(ys);
    D tx = V::sub(xs, fx);
    D ty = V::sub(ys, fy);
    const D zero = V::set(0.0);
    const D one = V::set(1.0);
    // fx lies in [-1, w - 1], so each tap needs only one side clamped.
    I x0 = V::to_i32(V::mul(V::max(fx, zero), fr.pixel_bytes));
    I x1 = V::to_i32(V::mul(V::min(V::add(fx, one), fr.x_last), fr.pixel_bytes));
    I y0 = V::to_i32(V::mul(V::max(fy, zero), fr.row_bytes));
    I y1 = V::to_i32(V::mul(V::min(V::add(fy, one), fr.y_last), fr.row_bytes));
    I o11 = V::add_i32(y1, x1);
    if (V::any_above(o11, fr.read_limit)) return sample_group_scalar<V, T, C, Filter::Bilinear>(fr, x, y, out);

    D ux = V::sub(one, tx);
    D uy = V::sub(one, ty);
    D w00 = V::mul(ux, uy);
    D w10 = V::mul(tx, uy);
    D w01 = V::mul(ux, ty);
    D w11 = V::mul(tx, ty);
    auto r00 = V::gather64(fr.bytes(), V::add_i32(y0, x0));
    auto r10 = V::gather64(fr.bytes(), V::add_i32(y0, x1));
    auto r01 = V::gather64(fr.bytes(), V::add_i32(y1, x0));
    auto r11 = V::gather64(fr.bytes(), o11);
    D s[C];
    _Pragma("GCC unroll 8")
    for (int c = 0; c < C; ++c) {
        D acc = V::mul(channel<V, T, C>(r00, c), w00);
        acc = V::add(acc, V::mul(channel<V, T, C>(r10, c), w10));
        acc = V::add(acc, V::mul(channel<V, T, C>(r01, c), w01));
        s[c] = V::add(acc, V::mul(channel<V, T, C>(r11, c), w11));
    }
    store_group<V, T, C>(out, s, in);
}

// round(1024 t) with halves away from zero, for t in [0, 1]: floor, then up
// when the exact remainder reaches one half. Returned as the entry's offset
// in doubles.
template <class V>
TREVALIN_KERNEL typename V::I table_offset(typename V::D t) {
    auto v = V::mul(t, V::set(1024.0));
    auto r = V::floor(v);
    r = V::add(r, V::keep(V::ge(V::sub(v, r), V::set(0.5)), V::set(1.0)));
    return V::to_i32(V::mul(r, V::set(6.0)));
}

template <class V, class T, int C>
TREVALIN_KERNEL void lanczos3_group(const Frame<V, T, C>& fr, typename V::D x, typename V::D y, T* out) {
    using D = typename V::D;
    using I = typename V::I;
    auto in = inside(fr, x, y);
    if (!V::any(in)) return;
    D xs = V::keep(in, x);
    D ys = V::keep(in, y);
    D fx = V::floor(xs);
    D fy = V::floor(ys);
    const D zero = V::set(0.0);
    I cols[6];
    I rows[6];
    _Pragma("GCC unroll 8")
    for (int k = 0; k < 6; ++k) {
        D dk = V::set(static_cast<double>(k - 2));
        cols[k] = V::to_i32(V::mul(V::min(V::max(V::add(fx, dk), zero), fr.x_last), fr.pixel_bytes));
        rows[k] = V::to_i32(V::mul(V::min(V::max(V::add(fy, dk), zero), fr.y_last), fr.row_bytes));
    }
    if (V::any_above(V::add_i32(rows[5], cols[5]), fr.read_limit))
        return sample_group_scalar<V, T, C, Filter::Lanczos3>(fr, x, y, out);

    I ex = table_offset<V>(V::sub(xs, fx));
    I ey = table_offset<V>(V::sub(ys, fy));
    const double* table = fr.table[0].tap;
    D wx[6];
    _Pragma("GCC unroll 8")
    for (int i = 0; i < 6; ++i) wx[i] = V::gather_table(table + i, ex);
    D acc[C];
    _Pragma("GCC unroll 8")
    for (int c = 0; c < C; ++c) acc[c] = zero;
    _Pragma("GCC unroll 8")
    for (int j = 0; j < 6; ++j) {
        D wy = V::gather_table(table + j, ey);
        _Pragma("GCC unroll 8")
        for (int i = 0; i < 6; ++i) {
            D wij = V::mul(wx[i], wy);
            auto raw = V::gather64(fr.bytes(), V::add_i32(rows[j], cols[i]));
            _Pragma("GCC unroll 8")
            for (int c = 0; c < C; ++c) acc[c] = V::add(acc[c], V::mul(channel<V, T, C>(raw, c), wij));
        }
    }
    store_group<V, T, C>(out, acc, in);
}

template <class V, class T, int C, Filter F>
TREVALIN_KERNEL void sample_group(const Frame<V, T, C>& fr, typename V::D x, typename V::D y, T* out) {
    if constexpr (F == Filter::Bilinear)
        bilinear_group<V, T, C>(fr, x, y, out);
    else
        lanczos3_group<V, T, C>(fr, x, y, out);
}

template <class V, class T, int C, Filter F>
void remap_row(const SourceImage<T>& src, const float* map_x, const float* map_y, std::size_t n, T* out,
               const Lanczos3Weights* table) {
    const Frame<V, T, C> fr(src, table);
    std::size_t x = 0;
    for (; x + V::lanes <= n; x += V::lanes)
        sample_group<V, T, C, F>(fr, V::load_floats(map_x + x), V::load_floats(map_y + x), out + x * C);
    for (; x < n; ++x)
        sample_scalar<V, T, C, F>(fr, out + x * C, static_cast<double>(map_x[x]), static_cast<double>(map_y[x]));
}

template <class V, class T, Filter F>
void warp_row(const SourceImage<T>& src, const WarpRow& row, std::size_t n, T* out, const Lanczos3Weights* table) {
    const Frame<V, T, 3> fr(src, table);
    const auto h0 = V::set(row.h0);
    const auto h3 = V::set(row.h3);
    const auto h6 = V::set(row.h6);
    const auto cx = V::set(row.cx);
    const auto cy = V::set(row.cy);
    const auto cw = V::set(row.cw);
    std::size_t x = 0;
    for (; x + V::lanes <= n; x += V::lanes) {
        auto u = V::load(row.u + x);
        auto w = V::add(V::mul(h6, u), cw);
        // A zero w gives infinite or NaN positions, which are outside: the
        // lanes need no test of their own.
        auto sx = V::div(V::add(V::mul(h0, u), cx), w);
        auto sy = V::div(V::add(V::mul(h3, u), cy), w);
        sample_group<V, T, 3, F>(fr, sx, sy, out + x * 3);
    }
    for (; x < n; ++x) {
        double u = row.u[x];
        double w = row.h6 * u + row.cw;
        if (w == 0.0) continue;
        sample_scalar<V, T, 3, F>(fr, out + x * 3, (row.h0 * u + row.cx) / w, (row.h3 * u + row.cy) / w);
    }
}

#undef TREVALIN_KERNEL
