/// Cross-sectional kernels: row medians, standardisation, orthogonalisation, industry fills, and the daily
/// constrained regressions.
#include "_rmkernels/kernels.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace velquor::rmk {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kMadScale = 1.4826;  // robust standard deviation per median absolute deviation

/// Median of v (reordered in place; NaN when empty), as the reference takes it: the middle order
/// statistic, or the mean of the two middle ones.
double median_inplace(std::vector<double>& v) {
    if (v.empty()) return kNaN;
    const size_t k = (v.size() - 1) / 2;
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
    if (v.size() % 2) return v[k];
    return 0.5 * (v[k] + *std::min_element(v.begin() + static_cast<std::ptrdiff_t>(k) + 1, v.end()));
}

/// Population standard deviation of the finite entries of x (NaN when there are none).
double finite_std(const double* x, std::ptrdiff_t n) {
    double sum = 0.0;
    std::ptrdiff_t cnt = 0;
    for (std::ptrdiff_t c = 0; c < n; ++c)
        if (std::isfinite(x[c])) {
            sum += x[c];
            ++cnt;
        }
    if (cnt == 0) return kNaN;
    const double mean = sum / static_cast<double>(cnt);
    double ss = 0.0;
    for (std::ptrdiff_t c = 0; c < n; ++c)
        if (std::isfinite(x[c])) ss += (x[c] - mean) * (x[c] - mean);
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

void standardise(const double* x, const double* cap, std::ptrdiff_t rows, std::ptrdiff_t cols, double mads,
                 double* out, int threads) {
    parallel_for(rows, threads, [&](std::ptrdiff_t a, std::ptrdiff_t b) {
        std::vector<double> v, xs(static_cast<size_t>(cols));
        v.reserve(static_cast<size_t>(cols));
        for (std::ptrdiff_t t = a; t < b; ++t) {
            const double* xr = x + t * cols;
            const double* cr = cap + t * cols;
            double* o = out + t * cols;
            v.clear();
            for (std::ptrdiff_t c = 0; c < cols; ++c) {
                const bool ok = std::isfinite(cr[c]) && std::isfinite(xr[c]);
                xs[static_cast<size_t>(c)] = ok ? xr[c] : kNaN;
                if (ok) v.push_back(xr[c]);
            }
            const double med = median_inplace(v);
            v.clear();
            for (std::ptrdiff_t c = 0; c < cols; ++c)
                if (std::isfinite(xs[static_cast<size_t>(c)])) v.push_back(std::abs(xs[static_cast<size_t>(c)] - med));
            const double mad = kMadScale * median_inplace(v);
            double band = mad * mads;
            if (!(mad > 0)) band = finite_std(xs.data(), cols) * mads;  // the robust spread vanishes
            double wsum = 0.0, wx = 0.0;
            for (std::ptrdiff_t c = 0; c < cols; ++c) {
                double& e = xs[static_cast<size_t>(c)];
                const bool ok = std::isfinite(e);
                e = clip(e, med - band, med + band);
                if (ok) {
                    wsum += cr[c];
                    wx += cr[c] * e;
                }
            }
            const double mean = wx / wsum;
            for (std::ptrdiff_t c = 0; c < cols; ++c) o[c] = xs[static_cast<size_t>(c)] - mean;
            const double sd = finite_std(o, cols);
            for (std::ptrdiff_t c = 0; c < cols; ++c) o[c] = sd > 0 ? o[c] / sd : 0.0 * o[c];
        }
    });
}

void orthogonalise(const double* y, const double* const* xs, int nx, const double* cap, std::ptrdiff_t rows,
                   std::ptrdiff_t cols, double* out, int threads) {
    const std::ptrdiff_t p = 1 + nx;
    parallel_for(rows, threads, [&](std::ptrdiff_t a, std::ptrdiff_t b) {
        std::vector<double> mat(static_cast<size_t>(p * p)), rhs(static_cast<size_t>(p)), z(static_cast<size_t>(p));
        std::vector<std::uint8_t> ok(static_cast<size_t>(cols));
        for (std::ptrdiff_t t = a; t < b; ++t) {
            std::fill(mat.begin(), mat.end(), 0.0);
            std::fill(rhs.begin(), rhs.end(), 0.0);
            for (std::ptrdiff_t c = 0; c < cols; ++c) {
                const std::ptrdiff_t e = t * cols + c;
                bool good = std::isfinite(y[e]) && std::isfinite(cap[e]);
                for (int k = 0; k < nx && good; ++k) good = std::isfinite(xs[k][e]);
                ok[static_cast<size_t>(c)] = good;
                if (!good) continue;
                z[0] = 1.0;
                for (int k = 0; k < nx; ++k) z[static_cast<size_t>(k) + 1] = xs[k][e];
                for (std::ptrdiff_t i = 0; i < p; ++i) {
                    const double wi = cap[e] * z[static_cast<size_t>(i)];
                    rhs[static_cast<size_t>(i)] += wi * y[e];
                    for (std::ptrdiff_t j = i; j < p; ++j) mat[static_cast<size_t>(i * p + j)] += wi * z[static_cast<size_t>(j)];
                }
            }
            for (std::ptrdiff_t i = 0; i < p; ++i) {
                for (std::ptrdiff_t j = 0; j < i; ++j) mat[static_cast<size_t>(i * p + j)] = mat[static_cast<size_t>(j * p + i)];
                mat[static_cast<size_t>(i * p + i)] += 1e-12;
            }
            const bool solved = lu_solve(mat.data(), rhs.data(), p);
            for (std::ptrdiff_t c = 0; c < cols; ++c) {
                const std::ptrdiff_t e = t * cols + c;
                if (!ok[static_cast<size_t>(c)] || !solved) {
                    out[e] = kNaN;
                    continue;
                }
                double fitted = 0.0 + rhs[0];
                for (int k = 0; k < nx; ++k) fitted += rhs[static_cast<size_t>(k) + 1] * xs[k][e];
                out[e] = y[e] - fitted;
            }
        }
    });
}

void fill_industry(const double* x, const double* cap, const std::int16_t* industry, std::ptrdiff_t rows,
                   std::ptrdiff_t cols, int n_ind, float* out, std::ptrdiff_t out_stride, int threads) {
    parallel_for(rows, threads, [&](std::ptrdiff_t a, std::ptrdiff_t b) {
        std::vector<double> num(static_cast<size_t>(n_ind) + 1), den(static_cast<size_t>(n_ind) + 1);
        for (std::ptrdiff_t t = a; t < b; ++t) {
            std::fill(num.begin(), num.end(), 0.0);
            std::fill(den.begin(), den.end(), 0.0);
            auto key = [&](std::ptrdiff_t e) -> size_t {
                const int k = industry[e];
                return static_cast<size_t>(k >= 0 && k < n_ind ? k : n_ind);
            };
            for (std::ptrdiff_t c = 0; c < cols; ++c) {
                const std::ptrdiff_t e = t * cols + c;
                const bool ok = std::isfinite(x[e]) && std::isfinite(cap[e]);
                const double w = ok ? cap[e] : 0.0;
                num[key(e)] += w * (ok ? x[e] : 0.0);
                den[key(e)] += w;
            }
            for (std::ptrdiff_t c = 0; c < cols; ++c) {
                const std::ptrdiff_t e = t * cols + c;
                const size_t k = key(e);
                double v;
                if (std::isfinite(x[e]) && std::isfinite(cap[e])) {
                    v = x[e];
                } else if (std::isfinite(cap[e])) {
                    v = (k < static_cast<size_t>(n_ind) && den[k] > 0) ? num[k] / den[k] : 0.0;
                } else {
                    v = kNaN;
                }
                out[e * out_stride] = static_cast<float>(v);
            }
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
