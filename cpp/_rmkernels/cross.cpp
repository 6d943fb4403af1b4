/// Cross-sectional kernels: row medians, standardisation, orthogonalisation, industry fills, and the daily
/// constrained regressions.
#include "_rmkernels/kernels.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

namespace velquor::rmk {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kMadScale = 1.4826;  // robust standard deviation per median absolute deviation

/// Order-preserving map of a double (not NaN) to an unsigned integer: a < b exactly when key(a) < key(b)
/// (-0 sorts just below +0).
std::uint64_t order_key(double d) noexcept {
    const auto b = std::bit_cast<std::uint64_t>(d);
    return (b >> 63) ? ~b : (b | (std::uint64_t{1} << 63));
}

double from_key(std::uint64_t k) noexcept {
    return std::bit_cast<double>((k >> 63) ? (k & ~(std::uint64_t{1} << 63)) : ~k);
}

/// The k-th smallest (from 0) of keys[0 .. n), by a most-significant-digit radix selection: 11-bit digits
/// from the highest bit in which the keys differ, each pass keeping only the bucket that holds the k-th key.
/// Branch-free linear passes over a shrinking set instead of a comparison selection's data-dependent
/// branches. Reorders keys.
std::uint64_t radix_select(std::uint64_t* keys, size_t n, size_t k) {
    constexpr int kDigit = 11;
    std::uint32_t hist[1 << kDigit];
    std::uint64_t lo = ~std::uint64_t{0}, hi = 0;
    for (size_t i = 0; i < n; ++i) {
        lo = std::min(lo, keys[i]);
        hi = std::max(hi, keys[i]);
    }
    if (lo == hi) return lo;
    int shift = 63 - std::countl_zero(lo ^ hi) - (kDigit - 1);  // the digit's lowest bit; bits above agree
    while (n > 48) {
        const int width = shift >= 0 ? kDigit : kDigit + shift;
        const int at = std::max(shift, 0);
        const std::uint64_t mask = (std::uint64_t{1} << width) - 1;
        std::fill(hist, hist + mask + 1, 0u);
        for (size_t i = 0; i < n; ++i) ++hist[(keys[i] >> at) & mask];
        std::uint64_t digit = 0;
        size_t below = 0;
        while (below + hist[digit] <= k) below += hist[digit++];
        k -= below;
        if (hist[digit] != n) {
            size_t kept = 0;
            for (size_t i = 0; i < n; ++i) {  // branch-free: half the keys or more go
                const std::uint64_t key = keys[i];
                keys[kept] = key;
                kept += ((key >> at) & mask) == digit;
            }
            n = kept;
        }
        if (at == 0) return keys[0];  // the rest are equal
        shift -= kDigit;
    }
    std::nth_element(keys, keys + k, keys + n);
    return keys[k];
}

/// Rows at least this long take the bracketed selection below first; it samples every kStride-th value.
constexpr size_t kBracketMin = 512, kStride = 16;

/// The median of v (n >= kBracketMin, no NaN) by a sampled bracket: every kStride-th value is a sample, two order
/// statistics of the sample bracket the middle rank with a margin of three standard deviations of a sample
/// rank, and one branch-free pass counts the values below the bracket and gathers (as order keys) those
/// inside it, a quarter of the row or so; the middle order statistics are selected among those. A bracket that
/// misses (the sample unlike the row) leaves `false` and the caller selects over the whole row.
bool bracketed_median(const double* v, size_t n, double& out) {
    const size_t k = (n - 1) / 2;
    const bool two = n % 2 == 0;  // the mean of the k-th and the (k + 1)-th
    thread_local std::vector<double> sample;
    thread_local std::vector<std::uint64_t> inner, kept;
    sample.clear();
    for (size_t i = 0; i < n; i += kStride) sample.push_back(v[i]);
    const size_t s = sample.size();
    const auto margin = static_cast<size_t>(3.0 * std::sqrt(0.25 * static_cast<double>(s))) + 2;
    const size_t at = k * s / n;
    const bool open_lo = at < margin, open_hi = at + margin >= s;
    std::uint64_t lo = 0, hi = ~std::uint64_t{0};
    if (!open_lo) {
        std::nth_element(sample.begin(), sample.begin() + static_cast<std::ptrdiff_t>(at - margin), sample.end());
        lo = order_key(sample[at - margin]);
    }
    if (!open_hi) {
        const auto first = sample.begin() + static_cast<std::ptrdiff_t>(open_lo ? 0 : at - margin);
        std::nth_element(first, sample.begin() + static_cast<std::ptrdiff_t>(at + margin), sample.end());
        hi = order_key(sample[at + margin]);
    }
    inner.resize(n);
    size_t below = 0, m = 0;
    for (size_t i = 0; i < n; ++i) {
        const std::uint64_t key = order_key(v[i]);
        below += key < lo;
        inner[m] = key;
        m += (key >= lo) & (key <= hi);
    }
    if (below > k || k + (two ? 1 : 0) >= below + m) return false;
    const size_t j = k - below;
    if (two) kept.assign(inner.begin(), inner.begin() + static_cast<std::ptrdiff_t>(m));  // the selection reorders
    const std::uint64_t mid = radix_select(inner.data(), m, j);
    if (!two) {
        out = from_key(mid);
        return true;
    }
    // the next order statistic: the middle one again if it repeats inside the bracket, else the least key
    // above it there (the bracket holds the (k + 1)-th)
    size_t at_most = 0;
    std::uint64_t above = ~std::uint64_t{0};
    for (size_t i = 0; i < m; ++i) {
        const std::uint64_t key = kept[i];
        at_most += key <= mid;
        above = key > mid && key < above ? key : above;
    }
    out = 0.5 * (from_key(mid) + from_key(at_most >= j + 2 ? mid : above));
    return true;
}

/// Median of v[0 .. n) (left as it is; NaN when empty), as the reference takes it: the middle order
/// statistic, or the mean of the two middle ones. v holds no NaN.
double median_of(const double* v, size_t n) {
    if (n == 0) return kNaN;
    double bracketed;
    if (n >= kBracketMin && bracketed_median(v, n, bracketed)) return bracketed;
    const size_t k = (n - 1) / 2;
    thread_local std::vector<std::uint64_t> keys;
    keys.resize(n);
    for (size_t i = 0; i < n; ++i) keys[i] = order_key(v[i]);
    const std::uint64_t mid = radix_select(keys.data(), n, k);
    if (n % 2) return from_key(mid);
    // the next order statistic: the middle one again if it repeats, else the least key above it
    size_t at_most = 0;
    std::uint64_t above = ~std::uint64_t{0};
    for (size_t i = 0; i < n; ++i) {
        const std::uint64_t key = order_key(v[i]);
        at_most += key <= mid;
        if (key > mid && key < above) above = key;
    }
    return 0.5 * (from_key(mid) + from_key(at_most >= k + 2 ? mid : above));
}

double median_inplace(const std::vector<double>& v) { return median_of(v.data(), v.size()); }

/// Sum of f(c) over c < n in four interleaved partial sums (independent chains: a row's sum is latency
/// bound otherwise; the reference's pairwise sums round differently anyway).
template <class F>
double sum4(std::ptrdiff_t n, F f) {
    double a0 = 0.0, a1 = 0.0, a2 = 0.0, a3 = 0.0;
    std::ptrdiff_t c = 0;
    for (; c + 4 <= n; c += 4) {
        a0 += f(c);
        a1 += f(c + 1);
        a2 += f(c + 2);
        a3 += f(c + 3);
    }
    for (; c < n; ++c) a0 += f(c);
    return (a0 + a1) + (a2 + a3);
}

/// Population standard deviation of the finite entries of x (NaN when there are none).
double finite_std(const double* x, std::ptrdiff_t n) {
    std::ptrdiff_t cnt = 0;  // counted in the pass that sums
    const double sum = sum4(n, [&](std::ptrdiff_t c) {
        const bool ok = std::isfinite(x[c]);
        cnt += ok;
        return ok ? x[c] : 0.0;
    });
    if (cnt == 0) return kNaN;
    const double mean = sum / static_cast<double>(cnt);
    const double ss = sum4(n, [&](std::ptrdiff_t c) {
        const double d = std::isfinite(x[c]) ? x[c] - mean : 0.0;
        return d * d;
    });
    return std::sqrt(ss / static_cast<double>(cnt));
}

/// numpy's clip for floats: NaN in x or in a bound propagates.
double clip(double x, double lo, double hi) {
    if (std::isnan(x)) return x;
    double v = x > lo ? x : lo;
    if (std::isnan(v)) return v;
    return v < hi ? v : hi;
}

/// Solves a x = b (n x n, row-major, both overwritten) by LU with partial pivoting. False when a pivot is
/// exactly zero (a singular system).
bool lu_solve(double* a, double* b, std::ptrdiff_t n) {
    for (std::ptrdiff_t k = 0; k < n; ++k) {
        std::ptrdiff_t p = k;
        for (std::ptrdiff_t i = k + 1; i < n; ++i)
            if (std::abs(a[i * n + k]) > std::abs(a[p * n + k])) p = i;
        if (!(a[p * n + k] != 0.0) || !std::isfinite(a[p * n + k])) return false;
        if (p != k) {
            for (std::ptrdiff_t j = 0; j < n; ++j) std::swap(a[k * n + j], a[p * n + j]);
            std::swap(b[k], b[p]);
        }
        const double inv = a[k * n + k];
        for (std::ptrdiff_t i = k + 1; i < n; ++i) {
            const double l = a[i * n + k] / inv;
            if (l == 0.0) continue;
            for (std::ptrdiff_t j = k + 1; j < n; ++j) a[i * n + j] -= l * a[k * n + j];
            b[i] -= l * b[k];
        }
    }
    for (std::ptrdiff_t k = n - 1; k >= 0; --k) {
        double s = b[k];
        for (std::ptrdiff_t j = k + 1; j < n; ++j) s -= a[k * n + j] * b[j];
        b[k] = s / a[k * n + k];
    }
    return true;
}

}  // namespace

double finite_median(const std::vector<double>& v) { return median_inplace(v); }

void row_median(const double* x, std::ptrdiff_t rows, std::ptrdiff_t cols, double* out, int threads) {
    parallel_for(rows, threads, [&](std::ptrdiff_t a, std::ptrdiff_t b) {
        std::vector<double> v;
        v.reserve(static_cast<size_t>(cols));
        for (std::ptrdiff_t t = a; t < b; ++t) {
            v.clear();
            for (std::ptrdiff_t c = 0; c < cols; ++c)
                if (std::isfinite(x[t * cols + c])) v.push_back(x[t * cols + c]);
            out[t] = median_inplace(v);
        }
    });
}

void standardise_row(const double* xr, const double* cr, std::ptrdiff_t cols, double mads, double* o,
                     RowScratch& s) {
    // The entries where both x and cap are finite, gathered once (branch-free: missing values come in no
    // pattern); every later pass runs over these dense values only. Every other entry comes out NaN.
    auto& v = s.v;
    auto& val = s.xs;
    auto& wt = s.num;
    auto& idx = s.idx;
    const size_t n = static_cast<size_t>(cols);
    val.resize(n);
    wt.resize(n);
    idx.resize(n);
    size_t m = 0;
    for (std::ptrdiff_t c = 0; c < cols; ++c) {
        const bool ok = std::isfinite(cr[c]) & std::isfinite(xr[c]);
        val[m] = xr[c];
        wt[m] = cr[c];
        idx[m] = static_cast<std::uint32_t>(c);
        m += ok;
        o[c] = kNaN;
    }
    if (m == 0) return;
    const double med = median_of(val.data(), m);
    v.resize(m);
    size_t kept = 0;  // |x - med|, the finite ones
    for (size_t i = 0; i < m; ++i) {
        const double d = std::abs(val[i] - med);
        v[kept] = d;
        kept += std::isfinite(d);
    }
    const double mad = kMadScale * median_of(v.data(), kept);
    double band = mad * mads;
    if (!(mad > 0)) band = finite_std(val.data(), static_cast<std::ptrdiff_t>(m)) * mads;  // the robust spread vanishes
    const double lo = med - band, hi = med + band;
    const std::ptrdiff_t mm = static_cast<std::ptrdiff_t>(m);
    // clipped in the pass that sums the weights and the weighted values (both in sum4's order)
    const double wx = sum4(mm, [&](std::ptrdiff_t i) {
        const size_t u = static_cast<size_t>(i);
        val[u] = clip(val[u], lo, hi);
        return wt[u] * val[u];
    });
    const double wsum = sum4(mm, [&](std::ptrdiff_t i) { return wt[static_cast<size_t>(i)]; });
    const double mean = wx / wsum;
    for (size_t i = 0; i < m; ++i) val[i] -= mean;
    const double sd = finite_std(val.data(), mm);
    for (size_t i = 0; i < m; ++i) o[idx[i]] = sd > 0 ? val[i] / sd : 0.0 * val[i];
}

void standardise(const double* x, const double* cap, std::ptrdiff_t rows, std::ptrdiff_t cols, double mads,
                 double* out, int threads) {
    parallel_for(rows, threads, [&](std::ptrdiff_t a, std::ptrdiff_t b) {
        RowScratch s;
        s.v.reserve(static_cast<size_t>(cols));
        for (std::ptrdiff_t t = a; t < b; ++t) standardise_row(x + t * cols, cap + t * cols, cols, mads, out + t * cols, s);
    });
}

void orthogonalise_row(const double* y, const double* const* xs, int nx, const double* cap, std::ptrdiff_t cols,
                       double* out, RowScratch& s) {
    const std::ptrdiff_t p = 1 + nx;
    double mat[(1 + kMaxRegressors) * (1 + kMaxRegressors)] = {}, rhs[1 + kMaxRegressors] = {},
           z[1 + kMaxRegressors] = {};
    auto& ok = s.ok;
    ok.resize(static_cast<size_t>(cols));
    for (std::ptrdiff_t c = 0; c < cols; ++c) {
        bool good = std::isfinite(y[c]) && std::isfinite(cap[c]);
        for (int k = 0; k < nx && good; ++k) good = std::isfinite(xs[k][c]);
        ok[static_cast<size_t>(c)] = good;
        if (!good) continue;
        z[0] = 1.0;
        for (int k = 0; k < nx; ++k) z[k + 1] = xs[k][c];
        for (std::ptrdiff_t i = 0; i < p; ++i) {
            const double wi = cap[c] * z[i];
            rhs[i] += wi * y[c];
            for (std::ptrdiff_t j = i; j < p; ++j) mat[i * p + j] += wi * z[j];
        }
    }
    for (std::ptrdiff_t i = 0; i < p; ++i) {
        for (std::ptrdiff_t j = 0; j < i; ++j) mat[i * p + j] = mat[j * p + i];
        mat[i * p + i] += 1e-12;
    }
    const bool solved = lu_solve(mat, rhs, p);
    for (std::ptrdiff_t c = 0; c < cols; ++c) {
        if (!ok[static_cast<size_t>(c)] || !solved) {
            out[c] = kNaN;
            continue;
        }
        double fitted = 0.0 + rhs[0];
        for (int k = 0; k < nx; ++k) fitted += rhs[k + 1] * xs[k][c];
        out[c] = y[c] - fitted;
    }
}

void orthogonalise(const double* y, const double* const* xs, int nx, const double* cap, std::ptrdiff_t rows,
                   std::ptrdiff_t cols, double* out, int threads) {
    parallel_for(rows, threads, [&](std::ptrdiff_t a, std::ptrdiff_t b) {
        RowScratch s;
        const double* row[kMaxRegressors];
        for (std::ptrdiff_t t = a; t < b; ++t) {
            for (int k = 0; k < nx; ++k) row[k] = xs[k] + t * cols;
            orthogonalise_row(y + t * cols, row, nx, cap + t * cols, cols, out + t * cols, s);
        }
    });
}

namespace {

/// The industry bucket of every stock of a row: its industry, or n_ind for none (or an unknown one).
void industry_keys(const std::int16_t* industry, std::ptrdiff_t cols, int n_ind, std::vector<std::uint32_t>& key) {
    key.resize(static_cast<size_t>(cols));
    for (std::ptrdiff_t c = 0; c < cols; ++c) {
        const int k = industry[c];
        key[static_cast<size_t>(c)] = static_cast<std::uint32_t>(k >= 0 && k < n_ind ? k : n_ind);
    }
}

/// fill_industry_row with the row's industry buckets given (industry_keys).
void fill_industry_keyed(const double* x, const double* cap, const std::uint32_t* key, std::ptrdiff_t cols, int n_ind,
                         float* out, std::ptrdiff_t out_stride, RowScratch& s) {
    auto& num = s.num;
    auto& den = s.den;
    num.assign(static_cast<size_t>(n_ind) + 1, 0.0);
    den.assign(static_cast<size_t>(n_ind) + 1, 0.0);
    for (std::ptrdiff_t c = 0; c < cols; ++c) {
        if (!(std::isfinite(x[c]) && std::isfinite(cap[c]))) continue;  // adds nothing to its bucket
        num[key[c]] += cap[c] * x[c];
        den[key[c]] += cap[c];
    }
    for (int k = 0; k <= n_ind; ++k) {  // the fill of each bucket: its cap-weighted mean (0 for none)
        const auto u = static_cast<size_t>(k);
        num[u] = (k < n_ind && den[u] > 0) ? num[u] / den[u] : 0.0;
    }
    for (std::ptrdiff_t c = 0; c < cols; ++c) {
        const bool live = std::isfinite(cap[c]);
        const double v = (std::isfinite(x[c]) && live) ? x[c] : (live ? num[key[c]] : kNaN);
        out[c * out_stride] = static_cast<float>(v);
    }
}

}  // namespace

void fill_industry_row(const double* x, const double* cap, const std::int16_t* industry, std::ptrdiff_t cols,
                       int n_ind, float* out, std::ptrdiff_t out_stride, RowScratch& s) {
    industry_keys(industry, cols, n_ind, s.idx);
    fill_industry_keyed(x, cap, s.idx.data(), cols, n_ind, out, out_stride, s);
}

void fill_industry(const double* x, const double* cap, const std::int16_t* industry, std::ptrdiff_t rows,
                   std::ptrdiff_t cols, int n_ind, float* out, std::ptrdiff_t out_stride, int threads) {
    parallel_for(rows, threads, [&](std::ptrdiff_t a, std::ptrdiff_t b) {
        RowScratch s;
        for (std::ptrdiff_t t = a; t < b; ++t)
            fill_industry_row(x + t * cols, cap + t * cols, industry + t * cols, cols, n_ind,
                              out + t * cols * out_stride, out_stride, s);
    });
}

void styles(const StyleIn& in, double mads, float* out, int threads) {
    const std::ptrdiff_t n = in.cols, ns = in.n_styles;
    parallel_for(in.rows, threads, [&](std::ptrdiff_t a, std::ptrdiff_t b) {
        RowScratch s;
        s.v.reserve(static_cast<size_t>(n));
        std::vector<double> buf(static_cast<size_t>(10 * n));
        std::vector<std::uint32_t> keys;  // the row's industry buckets, shared by its ten fills
        double* tmp = buf.data();
        double* size = tmp + n;
        double* beta = size + n;
        double* u = beta + n;
        double* w = u + n;
        // The row's descriptors, copied out before its output is written (which may lie over them): byte
        // copies, so no store of the float32 output can be ordered before them.
        double* d_beta = w + n;
        double* d_mom = d_beta + n;
        double* d_liq = d_mom + n;
        double* d_vol = d_liq + n;  // dastd, then 0.75 dastd + 0.25 hsigma
        double* d_hsigma = d_vol + n;
        const size_t row_bytes = static_cast<size_t>(n) * sizeof(double);
        for (std::ptrdiff_t t = a; t < b; ++t) {
            const std::ptrdiff_t e = t * n, de = t * in.dstride;
            const double* cap = in.cap + e;
            std::memcpy(d_beta, in.beta + de, row_bytes);
            std::memcpy(d_mom, in.mom + de, row_bytes);
            std::memcpy(d_liq, in.liq + de, row_bytes);
            std::memcpy(d_vol, in.dastd + de, row_bytes);
            std::memcpy(d_hsigma, in.hsigma + de, row_bytes);
            for (std::ptrdiff_t c = 0; c < n; ++c) d_vol[c] = 0.75 * d_vol[c] + 0.25 * d_hsigma[c];
            float* o = out + e * ns;
            industry_keys(in.industry + e, n, in.n_ind, keys);
            auto fill = [&](const double* x, int style) {
                fill_industry_keyed(x, cap, keys.data(), n, in.n_ind, o + in.slot[style], ns, s);
            };
            auto std_ = [&](const double* x, double* dst) { standardise_row(x, cap, n, mads, dst, s); };
            auto ortho = [&](const double* y, std::initializer_list<const double*> xs, double* dst) {
                orthogonalise_row(y, xs.begin(), static_cast<int>(xs.size()), cap, n, dst, s);
            };
            for (std::ptrdiff_t c = 0; c < n; ++c) tmp[c] = std::log(cap[c]);
            std_(tmp, size);
            fill(size, kSize);
            std_(d_beta, beta);
            fill(beta, kBeta);
            for (std::ptrdiff_t c = 0; c < n; ++c) tmp[c] = std::pow(size[c], 3.0);
            ortho(tmp, {size}, u);
            std_(u, w);
            fill(w, kNonLinearSize);
            std_(d_vol, u);
            ortho(u, {beta, size}, tmp);
            std_(tmp, w);
            fill(w, kResidualVolatility);
            std_(d_liq, u);
            ortho(u, {size}, tmp);
            std_(tmp, w);
            fill(w, kLiquidity);
            std_(d_mom, w);
            fill(w, kMomentum);
            for (std::ptrdiff_t c = 0; c < n; ++c) tmp[c] = in.book[e + c] / cap[c];
            std_(tmp, w);
            fill(w, kBookToPrice);
            for (std::ptrdiff_t c = 0; c < n; ++c) tmp[c] = in.earnings[e + c] / cap[c];
            std_(tmp, w);
            fill(w, kEarningsYield);
            std_(in.growth + e, w);
            fill(w, kGrowth);
            for (std::ptrdiff_t c = 0; c < n; ++c) tmp[c] = in.debt[e + c] / (in.book[e + c] > 0 ? in.book[e + c] : kNaN);
            std_(tmp, w);
            fill(w, kLeverage);
        }
    });
}

void robust_cap(double* x, const std::uint8_t* mask, std::ptrdiff_t n, double mads, std::vector<double>& scratch) {
    scratch.clear();
    for (std::ptrdiff_t i = 0; i < n; ++i)
        if (mask[i] && std::isfinite(x[i])) scratch.push_back(x[i]);
    if (scratch.empty()) return;
    const double med = median_inplace(scratch);
    for (double& v : scratch) v = std::abs(v - med);
    const double band = mads * kMadScale * median_inplace(scratch);
    if (!(band > 0)) return;
    for (std::ptrdiff_t i = 0; i < n; ++i) x[i] = clip(x[i], med - band, med + band);
}

void regressions(const RegressionIn& in, double* fr, double* resid, std::uint8_t* failed, int threads) {
    const std::ptrdiff_t n = in.n, ns = in.styles, ni = in.n_ind;
    const std::ptrdiff_t kf = 1 + ni + ns;  // factors: country, industries, styles
    parallel_for(in.days, threads, [&](std::ptrdiff_t a, std::ptrdiff_t b) {
        std::vector<double> y(static_cast<size_t>(n)), scratch, ind_cap(static_cast<size_t>(ni));
        std::vector<double> af(static_cast<size_t>(kf * kf)), bf(static_cast<size_t>(kf));
        std::vector<double> ac, bc, tmp, cmat;
        std::vector<std::ptrdiff_t> others;
        std::vector<std::uint8_t> est_ok;
        for (std::ptrdiff_t d = a; d < b; ++d) {
            double* f = fr + d * kf;
            double* u = resid + d * n;
            std::fill(f, f + kf, kNaN);
            std::fill(u, u + n, kNaN);
            failed[d] = 0;
            if (!in.active[d]) continue;
            const double* yd = in.y + d * n;
            const double* cap = in.cap + d * n;
            const std::int16_t* ind = in.industry + d * n;
            const float* x = in.x + d * n * ns;
            const std::uint8_t* est = in.est + d * n;
            const std::uint8_t* has = in.has + d * n;
            // a stock outside the industries cannot be in the estimation universe
            std::ptrdiff_t count = 0;
            est_ok.assign(static_cast<size_t>(n), 0);
            for (std::ptrdiff_t i = 0; i < n; ++i) {
                est_ok[static_cast<size_t>(i)] = est[i] != 0 && ind[i] >= 0 && ind[i] < ni;
                count += est_ok[static_cast<size_t>(i)];
            }
            est = est_ok.data();
            if (count <= kf) continue;
            std::copy(yd, yd + n, y.begin());
            robust_cap(y.data(), est, n, in.regression_mads, scratch);
            // normal equations in the basis of every industry's dummy, weights sqrt(cap)
            std::fill(af.begin(), af.end(), 0.0);
            std::fill(bf.begin(), bf.end(), 0.0);
            std::fill(ind_cap.begin(), ind_cap.end(), 0.0);
            for (std::ptrdiff_t i = 0; i < n; ++i) {
                if (!est[i]) continue;
                const std::ptrdiff_t j = 1 + ind[i];
                const double w = std::sqrt(cap[i]);
                const float* xi = x + i * ns;
                ind_cap[static_cast<size_t>(ind[i])] += cap[i];
                af[0] += w;
                af[static_cast<size_t>(j)] += w;  // country x industry
                af[static_cast<size_t>(j * kf + j)] += w;
                bf[0] += w * y[static_cast<size_t>(i)];
                bf[static_cast<size_t>(j)] += w * y[static_cast<size_t>(i)];
                for (std::ptrdiff_t s = 0; s < ns; ++s) {
                    const std::ptrdiff_t col = 1 + ni + s;
                    const double ws = w * static_cast<double>(xi[s]);
                    af[static_cast<size_t>(col)] += ws;
                    af[static_cast<size_t>(j * kf + col)] += ws;
                    bf[static_cast<size_t>(col)] += ws * y[static_cast<size_t>(i)];
                    for (std::ptrdiff_t s2 = s; s2 < ns; ++s2)
                        af[static_cast<size_t>(col * kf + 1 + ni + s2)] += ws * static_cast<double>(xi[s2]);
                }
            }
            for (std::ptrdiff_t r = 0; r < kf; ++r)
                for (std::ptrdiff_t c = 0; c < r; ++c) af[static_cast<size_t>(r * kf + c)] = af[static_cast<size_t>(c * kf + r)];
            // industry factors: the present ones but the largest enter as D_i - (c_i / c_ref) D_ref
            std::ptrdiff_t ref = -1;
            for (std::ptrdiff_t j = 0; j < ni; ++j)
                if (ind_cap[static_cast<size_t>(j)] > 0 && (ref < 0 || ind_cap[static_cast<size_t>(j)] > ind_cap[static_cast<size_t>(ref)])) ref = j;
            others.clear();
            for (std::ptrdiff_t j = 0; j < ni; ++j)
                if (ind_cap[static_cast<size_t>(j)] > 0 && j != ref) others.push_back(j);
            const std::ptrdiff_t no = static_cast<std::ptrdiff_t>(others.size());
            const std::ptrdiff_t kc = 1 + no + ns;
            // C maps the constrained coefficients to the full ones: A_c = C' A_f C, b_c = C' b_f
            cmat.assign(static_cast<size_t>(kf * kc), 0.0);
            cmat[0] = 1.0;
            for (std::ptrdiff_t o = 0; o < no; ++o) {
                const std::ptrdiff_t j = others[static_cast<size_t>(o)];
                cmat[static_cast<size_t>((1 + j) * kc + 1 + o)] = 1.0;
                cmat[static_cast<size_t>((1 + ref) * kc + 1 + o)] = -(ind_cap[static_cast<size_t>(j)] / ind_cap[static_cast<size_t>(ref)]);
            }
            for (std::ptrdiff_t s = 0; s < ns; ++s) cmat[static_cast<size_t>((1 + ni + s) * kc + 1 + no + s)] = 1.0;
            tmp.assign(static_cast<size_t>(kf * kc), 0.0);  // A_f C
            for (std::ptrdiff_t r = 0; r < kf; ++r)
                for (std::ptrdiff_t m = 0; m < kf; ++m) {
                    const double v = af[static_cast<size_t>(r * kf + m)];
                    if (v == 0.0) continue;
                    for (std::ptrdiff_t c = 0; c < kc; ++c) tmp[static_cast<size_t>(r * kc + c)] += v * cmat[static_cast<size_t>(m * kc + c)];
                }
            ac.assign(static_cast<size_t>(kc * kc), 0.0);
            bc.assign(static_cast<size_t>(kc), 0.0);
            for (std::ptrdiff_t m = 0; m < kf; ++m)
                for (std::ptrdiff_t r = 0; r < kc; ++r) {
                    const double cm = cmat[static_cast<size_t>(m * kc + r)];
                    if (cm == 0.0) continue;
                    bc[static_cast<size_t>(r)] += cm * bf[static_cast<size_t>(m)];
                    for (std::ptrdiff_t c = 0; c < kc; ++c) ac[static_cast<size_t>(r * kc + c)] += cm * tmp[static_cast<size_t>(m * kc + c)];
                }
            if (!lu_solve(ac.data(), bc.data(), kc)) {
                failed[d] = 1;
                continue;
            }
            std::fill(f, f + kf, 0.0);
            f[0] = bc[0];
            double refsum = 0.0;
            for (std::ptrdiff_t o = 0; o < no; ++o) {
                const std::ptrdiff_t j = others[static_cast<size_t>(o)];
                f[1 + j] = bc[static_cast<size_t>(1 + o)];
                refsum += ind_cap[static_cast<size_t>(j)] * bc[static_cast<size_t>(1 + o)];
            }
            f[1 + ref] = -refsum / ind_cap[static_cast<size_t>(ref)];
            for (std::ptrdiff_t s = 0; s < ns; ++s) f[1 + ni + s] = bc[static_cast<size_t>(1 + no + s)];
            for (std::ptrdiff_t i = 0; i < n; ++i) {
                if (!has[i]) continue;
                double fitted = f[0] + (ind[i] >= 0 && ind[i] < ni ? f[1 + ind[i]] : 0.0);
                double st = 0.0;
                for (std::ptrdiff_t s = 0; s < ns; ++s) st += static_cast<double>(x[i * ns + s]) * f[1 + ni + s];
                u[i] = yd[i] - (fitted + st);
            }
            robust_cap(u, est, n, in.specific_mads, scratch);
        }
    });
}

}  // namespace velquor::rmk

namespace velquor::rmk {

void fill_states(const std::int64_t* row, const std::int64_t* col, const double* const* values, int fields,
                 std::ptrdiff_t states, std::ptrdiff_t rows, std::ptrdiff_t cols, double* const* out) {
    // States come in announcement order, so their rows never fall: walk the days once, applying each day's
    // states (the last of a stock's states on a day replaces the earlier ones) and copying the current
    // values of every stock into the day's row.
    std::vector<double> cur(static_cast<size_t>(fields * cols), kNaN);
    std::vector<std::ptrdiff_t> seen(static_cast<size_t>(cols), -1);
    std::ptrdiff_t s = 0;
    for (std::ptrdiff_t t = 0; t < rows; ++t) {
        std::ptrdiff_t e = s;
        while (e < states && row[e] == t) ++e;
        for (std::ptrdiff_t i = e - 1; i >= s; --i) {  // latest first: it alone counts for its stock
            const std::ptrdiff_t c = col[i];
            if (seen[static_cast<size_t>(c)] == t) continue;
            seen[static_cast<size_t>(c)] = t;
            for (int f = 0; f < fields; ++f)
                if (!std::isnan(values[f][i])) cur[static_cast<size_t>(f * cols + c)] = values[f][i];
        }
        s = e;
        for (int f = 0; f < fields; ++f)
            std::copy_n(cur.data() + f * cols, cols, out[f] + t * cols);
    }
}

}  // namespace velquor::rmk

namespace velquor::rmk {

void scatter(const std::int32_t* day, const std::int32_t* col, std::ptrdiff_t count, const std::int64_t* row_of_day,
             const double* const* values, int fields, std::ptrdiff_t cols, double* const* out) {
    for (std::ptrdiff_t i = 0; i < count; ++i) {
        const std::int64_t r = row_of_day[day[i]];
        if (r < 0) continue;  // a day off the calendar
        const std::ptrdiff_t e = r * cols + col[i];
        for (int f = 0; f < fields; ++f) out[f][e] = values[f][i];
    }
}

}  // namespace velquor::rmk

namespace velquor::rmk {

void specific_regime(const double* u, const double* var0, const double* cnt, const double* cap, std::ptrdiff_t cols,
                     std::ptrdiff_t r0, std::ptrdiff_t r1, const std::ptrdiff_t* at, std::ptrdiff_t dates,
                     double min_obs, double* num, double* den) {
    // One pass over the rows serves every date: per stock, 1 / the date's forecast (0 where it does not count).
    const auto nd = static_cast<size_t>(dates);
    std::vector<double> inv(static_cast<size_t>(cols) * nd);
    std::vector<double> acc(3 * nd);
    for (std::ptrdiff_t d = 0; d < dates; ++d) {
        const double* norm = var0 + at[d] * cols;
        for (std::ptrdiff_t c = 0; c < cols; ++c) inv[c * dates + d] = norm[c] > 0 ? 1.0 / norm[c] : 0.0;
    }
    for (std::ptrdiff_t r = r0; r < r1; ++r) {
        const double* ur = u + r * cols;
        const double* prev = var0 + (r - 1) * cols;
        const double* pc = cnt + (r - 1) * cols;
        const double* cp = cap + (r - 1) * cols;
        std::fill(acc.begin(), acc.end(), 0.0);
        double* sn = acc.data();
        double* sd = sn + dates;
        double* any = sd + dates;
        for (std::ptrdiff_t c = 0; c < cols; ++c) {
            const double u2 = ur[c] * ur[c];
            if (!(std::isfinite(u2) & std::isfinite(prev[c]) & (pc[c] >= min_obs) & std::isfinite(cp[c]))) continue;
            const double a = cp[c] * u2, b = cp[c] * prev[c];
            const double* w = inv.data() + c * dates;
            for (std::ptrdiff_t d = 0; d < dates; ++d) {
                sn[d] += a * w[d];
                sd[d] += b * w[d];
                any[d] += w[d];
            }
        }
        for (std::ptrdiff_t d = 0; d < dates; ++d) {
            num[d * (r1 - r0) + (r - r0)] = any[d] > 0 ? sn[d] : kNaN;
            den[d * (r1 - r0) + (r - r0)] = sd[d];
        }
    }
}

}  // namespace velquor::rmk
