/// The eigenfactor simulation's eigendecompositions: many small symmetric matrices, eight at a time in the
/// lanes of one vector (two AVX registers, one AVX-512 register).
///
/// Every simulated matrix R H R needs its eigenvalues and, per eigenvector v, the Rayleigh quotient v' L v
/// with the date's eigenvalues L. At this size (about 40) a library driver costs about 150 microseconds a
/// matrix, mostly in chains of dependent divisions and square roots and in per-call overheads; here eight
/// matrices go through the same steps side by side, so every step is one vector operation: Householder
/// reduction to tridiagonal form, the tridiagonal eigenvalues (implicit QL, each lane over its own unreduced
/// block), the eigenvectors of the tridiagonal form by inverse iteration from the converged eigenvalues
/// (orthogonalised within clusters of close eigenvalues) and their back-transformation. No fused
/// multiply-adds (the module is built without contraction) and the same operations in every lane, so every
/// instruction set gives the same bits.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <limits>
#include <vector>

#include "_rmkernels/kernels.hpp"

namespace velquor::rmk {
namespace {

// The vector helpers below are inlined into eigen_group (and its clones) and never cross a call: the ABI
// note about passing vectors without AVX does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

constexpr int kLanes = 8;
using Vec = double __attribute__((vector_size(kLanes * sizeof(double))));
using Mask = std::int64_t __attribute__((vector_size(kLanes * sizeof(double))));

[[gnu::always_inline]] inline Vec splat(double x) { return Vec{} + x; }
[[gnu::always_inline]] inline Vec vabs(Vec x) {
    Vec r;
    for (int l = 0; l < kLanes; ++l) r[l] = std::fabs(x[l]);
    return r;
}
[[gnu::always_inline]] inline Vec vsqrt(Vec x) {
    Vec r;
    for (int l = 0; l < kLanes; ++l) r[l] = std::sqrt(x[l]);
    return r;
}
[[gnu::always_inline]] inline Vec select(Mask m, Vec a, Vec b) { return m ? a : b; }
[[gnu::always_inline]] inline bool any(Mask m) {
    for (int l = 0; l < kLanes; ++l)
        if (m[l]) return true;
    return false;
}

/// Eigenvalues of the symmetric tridiagonal matrices with diagonal d and subdiagonal e[0 .. n-2], one per
/// lane, by implicit QL with Wilkinson-like shifts. The sweeps of the lanes run side by side (each lane over
/// its own unreduced block; a sweep's chain of square roots and divisions is as slow for eight lanes as for
/// one). d is overwritten by the eigenvalues (unsorted), e destroyed. False if an eigenvalue fails to converge.
[[gnu::always_inline]] inline bool tridiagonal_eigenvalues(Vec* d, Vec* e, int n) {
    if (n == 0) return true;
    e[n - 1] = splat(0.0);
    int lo[kLanes] = {}, iter[kLanes] = {};
    for (;;) {
        Mask on_l{}, on_m{};
        Vec g{};
        int from = n, to = -1;
        Mask live{};
        int hi_of[kLanes];
        for (int q = 0; q < kLanes; ++q) {
            int m = n;
            while (lo[q] < n) {
                const int l = lo[q];
                for (m = l; m < n - 1; ++m) {
                    const double dd = std::fabs(d[m][q]) + std::fabs(d[m + 1][q]);
                    if (std::fabs(e[m][q]) + dd == dd) break;
                }
                if (m != l) break;
                ++lo[q];
                iter[q] = 0;
            }
            hi_of[q] = m;
            on_l[q] = lo[q];
            on_m[q] = m;
            if (lo[q] >= n) continue;
            if (++iter[q] > 60) return false;
            live[q] = -1;
            const int l = lo[q];
            const double gl = (d[l + 1][q] - d[l][q]) / (2.0 * e[l][q]);
            const double r = std::hypot(gl, 1.0);
            g[q] = d[m][q] - d[l][q] + e[l][q] / (gl + std::copysign(r, gl));
            from = std::min(from, l);
            to = std::max(to, m - 1);
        }
        if (!any(live)) return true;
        Vec sn = splat(1.0), cs = splat(1.0), p = splat(0.0);
        for (int i = to; i >= from; --i) {
            const Mask on = live & (on_l <= i) & (on_m > i);
            const Vec f = sn * e[i], b = cs * e[i];
            const Vec r = vsqrt(f * f + g * g);
            const Mask zero = on & (r == 0.0);
            const Mask go = on & ~zero;
            e[i + 1] = select(on, r, e[i + 1]);
            if (any(zero)) {  // the block splits here: that lane's sweep ends without its last step
                d[i + 1] = select(zero, d[i + 1] - p, d[i + 1]);
                for (int q = 0; q < kLanes; ++q)
                    if (zero[q]) e[hi_of[q]][q] = 0.0;
                live &= ~zero;
            }
            const Vec rs = select(go, r, splat(1.0));
            const Vec s2 = f / rs, c2 = g / rs;
            const Vec g1 = d[i + 1] - p;
            const Vec r2 = (d[i] - g1) * s2 + splat(2.0) * c2 * b;
            const Vec p2 = s2 * r2;
            d[i + 1] = select(go, g1 + p2, d[i + 1]);
            g = select(go, c2 * r2 - b, g);
            sn = select(go, s2, sn);
            cs = select(go, c2, cs);
            p = select(go, p2, p);
        }
        for (int q = 0; q < kLanes; ++q)
            if (live[q]) {
                d[lo[q]][q] -= p[q];
                e[lo[q]][q] = g[q];
                e[hi_of[q]][q] = 0.0;
            }
    }
}

/// n vectors on memory aligned for them (std::vector drops the vector type's alignment).
template <class T>
class Lanes {
public:
    explicit Lanes(size_t n) : p_(static_cast<T*>(std::aligned_alloc(64, (std::max<size_t>(n, 1) * sizeof(T) + 63) / 64 * 64))) {
        if (p_ == nullptr) throw std::bad_alloc();
    }
    Lanes(const Lanes&) = delete;
    Lanes& operator=(const Lanes&) = delete;
    ~Lanes() { std::free(p_); }
    T* data() { return p_; }
    T& operator[](size_t i) { return p_[i]; }

private:
    T* p_;
};

/// Scratch of one thread, reused group after group.
struct EigenScratch {
    Lanes<Vec> a, tau, d, e, lam, w, x, f, lu_d, lu_du, lu_du2, lu_dl;
    Lanes<Mask> swap;
    std::vector<double> dl;
    explicit EigenScratch(int n)
        : a(size_t(n) * n), tau(n), d(n), e(n), lam(n), w(size_t(n) * n), x(n), f(n), lu_d(n), lu_du(n),
          lu_du2(n), lu_dl(n), swap(n), dl(n) {}
};

/// One group of kLanes draws (lanes beyond `used` repeat the last draw and are not summed).
__attribute__((target_clones("avx512f", "avx2", "default")))
bool eigen_group(const double* vals, const double* g_vol, const double* g_corr, int n, const std::ptrdiff_t* draw,
                 int used, EigenScratch& s, double* est, double* tru) {
    Vec* a = s.a.data();
    // The simulated matrix: H scaled to the simulated volatilities, times the square roots of the eigenvalues.
    for (int i = 0; i < n; ++i) {
        Vec fi;
        for (int l = 0; l < kLanes; ++l) {
            const double gii = g_corr[draw[l] * n * n + std::ptrdiff_t(i) * n + i];
            const double root = std::sqrt(vals[i]);
            const double corr_sd = std::sqrt(gii * (root * root));
            const double sim_sd = std::sqrt(g_vol[draw[l] * n + i] * vals[i]);
            fi[l] = corr_sd > 0.0 ? root * (sim_sd / corr_sd) : 0.0;
        }
        s.f[i] = fi;
    }
    for (int i = 0; i < n; ++i)
        for (int j = 0; j <= i; ++j) {
            Vec g;
            for (int l = 0; l < kLanes; ++l) g[l] = g_corr[draw[l] * n * n + std::ptrdiff_t(i) * n + j];
            a[i * n + j] = g * s.f[i] * s.f[j];
        }

    // Householder reduction of the lower triangle: A = Q T Q', reflector j in column j below the subdiagonal
    // (its leading 1 implicit), scaled by tau[j].
    Vec* p = s.x.data();
    for (int j = 0; j + 2 < n; ++j) {
        const Vec alpha = a[(j + 1) * n + j];
        Vec xnorm2 = splat(0.0);
        for (int i = j + 2; i < n; ++i) xnorm2 += a[i * n + j] * a[i * n + j];
        const Mask none = xnorm2 == 0.0;
        const Vec norm = vsqrt(alpha * alpha + xnorm2);
        const Vec beta = select(alpha >= 0.0, -norm, norm);
        const Vec tau = select(none, splat(0.0), (beta - alpha) / select(none, splat(1.0), beta));
        const Vec scal = splat(1.0) / select(none, splat(1.0), alpha - beta);
        for (int i = j + 2; i < n; ++i) a[i * n + j] *= scal;
        s.tau[j] = tau;
        s.e[j] = select(none, alpha, beta);
        s.d[j] = a[j * n + j];
        // p = tau B v over the trailing block B (rows and columns j+1 ..), from its lower triangle
        const int o = j + 1;
        Vec* vv = s.f.data();  // the reflector with its leading 1
        vv[o] = splat(1.0);
        for (int i = o + 1; i < n; ++i) vv[i] = a[i * n + j];
        auto v = [vv](int i) { return vv[i]; };
        for (int i = o; i < n; ++i) p[i] = splat(0.0);
        for (int i = o; i < n; ++i) {
            const Vec vi = v(i);
            Vec acc = splat(0.0);
            for (int k = o; k < i; ++k) {
                acc += a[i * n + k] * v(k);
                p[k] += a[i * n + k] * vi;
            }
            p[i] += acc + a[i * n + i] * vi;
        }
        Vec pv = splat(0.0);
        for (int i = o; i < n; ++i) {
            p[i] *= tau;
            pv += p[i] * v(i);
        }
        const Vec half = splat(-0.5) * tau * pv;
        for (int i = o; i < n; ++i) p[i] += half * v(i);  // now w
        for (int i = o; i < n; ++i) {
            const Vec vi = v(i), wi = p[i];
            for (int k = o; k <= i; ++k) a[i * n + k] -= vi * p[k] + wi * v(k);
        }
    }
    if (n >= 2) {
        s.d[n - 2] = a[(n - 2) * n + n - 2];
        s.e[n - 2] = a[(n - 1) * n + n - 2];
    }
    s.d[n - 1] = a[(n - 1) * n + n - 1];

    // Eigenvalues of T, ascending in every lane; |T| (largest row sum) for the tolerances below.
    Vec tnorm = splat(0.0);
    for (int i = 0; i < n; ++i) {
        Vec row = vabs(s.d[i]);
        if (i + 1 < n) row += vabs(s.e[i]);
        if (i > 0) row += vabs(s.e[i - 1]);
        tnorm = select(row > tnorm, row, tnorm);
        s.lam[i] = s.d[i];
        s.x[i] = i + 1 < n ? s.e[i] : splat(0.0);
    }
    tnorm = select(tnorm > 0.0, tnorm, splat(1.0));
    if (!tridiagonal_eigenvalues(s.lam.data(), s.x.data(), n)) return false;
    for (int q = 0; q < kLanes; ++q) {
        for (int i = 0; i < n; ++i) s.dl[i] = s.lam[i][q];
        std::sort(s.dl.begin(), s.dl.end());
        for (int i = 0; i < n; ++i) s.lam[i][q] = s.dl[i];
    }
    const Vec pert = splat(std::numeric_limits<double>::epsilon()) * tnorm;
    const Vec cluster = splat(1e-6) * tnorm;

    // Eigenvectors of T by inverse iteration, rank by rank in all lanes at once.
    Vec* x = s.x.data();
    Vec *ld = s.lu_d.data(), *ldu = s.lu_du.data(), *ldu2 = s.lu_du2.data(), *ldl = s.lu_dl.data();
    Mask* sw = s.swap.data();
    for (int k = 0; k < n; ++k) {
        const Vec lam = s.lam[k];
        // T - lam I = P L U, partial pivoting row by row
        for (int i = 0; i < n; ++i) {
            ld[i] = s.d[i] - lam;
            ldu[i] = i + 1 < n ? s.e[i] : splat(0.0);
            ldl[i] = ldu[i];
            ldu2[i] = splat(0.0);
        }
        for (int i = 0; i + 1 < n; ++i) {
            const Mask swp = vabs(ld[i]) < vabs(ldl[i]);
            sw[i] = swp;
            const Vec piv = select(swp, ldl[i], ld[i]);
            const Vec fact = select(swp, ld[i], ldl[i]) / select(piv == 0.0, splat(1.0), piv);
            const Vec du = ldu[i], dn = ld[i + 1];
            const Vec dun = i + 2 < n ? ldu[i + 1] : splat(0.0);
            ld[i] = piv;
            ldl[i] = fact;
            ldu[i] = select(swp, dn, du);
            ld[i + 1] = select(swp, du - fact * dn, dn - fact * du);
            if (i + 2 < n) {
                ldu2[i] = select(swp, dun, splat(0.0));
                ldu[i + 1] = select(swp, -fact * dun, dun);
            }
        }
        for (int i = 0; i < n; ++i) {  // pivots at the rounding level of T (the last one is), inverted
            const Mask tiny = vabs(ld[i]) < pert;
            ld[i] = splat(1.0) / select(tiny, select(ld[i] < 0.0, -pert, pert), ld[i]);
        }
        // a fixed pseudo-random start with components of both signs, then two solves
        // (a start of its own for every rank: the vectors of a repeated eigenvalue come out apart)
        std::uint64_t seed = 0x9e3779b97f4a7c15ull * std::uint64_t(k + 1);
        for (int i = 0; i < n; ++i) {
            seed = seed * 6364136223846793005ull + 1442695040888963407ull;
            x[i] = splat(double(seed >> 11) * (2.0 / 9007199254740992.0) - 1.0);
        }
        for (int it = 0; it < 2; ++it) {
            for (int i = 0; i + 1 < n; ++i) {
                const Vec xi = x[i], xn = x[i + 1];
                x[i] = select(sw[i], xn, xi);
                x[i + 1] = select(sw[i], xi - ldl[i] * xn, xn - ldl[i] * xi);
            }
            x[n - 1] *= ld[n - 1];
            if (n >= 2) x[n - 2] = (x[n - 2] - ldu[n - 2] * x[n - 1]) * ld[n - 2];
            for (int i = n - 3; i >= 0; --i) x[i] = (x[i] - ldu[i] * x[i + 1] - ldu2[i] * x[i + 2]) * ld[i];
            // orthogonal to the vectors of the lower eigenvalues within reach (ascending: stop at the first
            // one out of reach in every lane)
            for (int j = k - 1; j >= 0; --j) {
                const Mask near = (lam - s.lam[j]) <= cluster;
                if (!any(near)) break;
                const Vec* wj = s.w.data() + std::ptrdiff_t(j) * n;
                Vec dot = splat(0.0);
                for (int i = 0; i < n; ++i) dot += x[i] * wj[i];
                dot = select(near, dot, splat(0.0));
                for (int i = 0; i < n; ++i) x[i] -= dot * wj[i];
            }
            Vec nrm = splat(0.0);
            for (int i = 0; i < n; ++i) nrm += x[i] * x[i];
            const Vec inv = splat(1.0) / vsqrt(nrm);
            for (int i = 0; i < n; ++i) x[i] *= inv;
        }
        std::copy(x, x + n, s.w.data() + std::ptrdiff_t(k) * n);
    }

    // Back to the simulated matrix's basis (V = Q W), each eigenvector's Rayleigh quotient with the eigenvalues.
    // Four eigenvectors at a time through each reflector: four independent sums instead of one chain.
    for (int k0 = 0; k0 < n; k0 += 4) {
        const int kn = std::min(4, n - k0);
        Vec* y[4];
        for (int r = 0; r < 4; ++r) y[r] = s.w.data() + std::ptrdiff_t(k0 + std::min(r, kn - 1)) * n;
        for (int j = n - 3; j >= 0; --j) {
            Vec d0 = y[0][j + 1], d1 = y[1][j + 1], d2 = y[2][j + 1], d3 = y[3][j + 1];
            for (int i = j + 2; i < n; ++i) {
                const Vec v = a[i * n + j];
                d0 += v * y[0][i];
                d1 += v * y[1][i];
                d2 += v * y[2][i];
                d3 += v * y[3][i];
            }
            const Vec t = s.tau[j];
            d0 *= t;
            d1 *= t;
            d2 *= t;
            d3 *= t;
            // a repeated vector (the last block's padding) is updated once
            if (kn < 4) d3 = splat(0.0);
            if (kn < 3) d2 = splat(0.0);
            if (kn < 2) d1 = splat(0.0);
            y[0][j + 1] -= d0;
            y[1][j + 1] -= d1;
            y[2][j + 1] -= d2;
            y[3][j + 1] -= d3;
            for (int i = j + 2; i < n; ++i) {
                const Vec v = a[i * n + j];
                y[0][i] -= d0 * v;
                y[1][i] -= d1 * v;
                y[2][i] -= d2 * v;
                y[3][i] -= d3 * v;
            }
        }
        for (int r = 0; r < kn; ++r) {
            Vec q = splat(0.0);
            for (int i = 0; i < n; ++i) q += splat(vals[i]) * (y[r][i] * y[r][i]);
            const Vec lam = s.lam[k0 + r];
            for (int l = 0; l < used; ++l) {
                est[std::ptrdiff_t(l) * n + k0 + r] = std::max(lam[l], 0.0);
                tru[std::ptrdiff_t(l) * n + k0 + r] = q[l];
            }
        }
    }
    return true;
}

/// One draw's moments of nw_grams: the diagonal of the volatility moments and the correlation moments.
__attribute__((target_clones("avx512f", "avx2", "default")))
void draw_grams(const double* z, std::ptrdiff_t t, int k, const GramWeights& vol, const GramWeights& corr, int lags,
                double* g_vol, double* g_corr, Lanes<Vec>& b, Lanes<Vec>& yv, std::vector<double>& acc) {
    const int kv = (k + kLanes - 1) / kLanes;
    // y_s = c_0 z_s + sum over lags l of c_l z_{s-l}, within the segment, lags added in order
    auto lagged = [&](const double* seg, std::ptrdiff_t s, const double* c, int i) {
        double y = seg[s * k + i] * c[0];
        for (int l = 1; l <= lags && l <= s; ++l) y += c[l] * seg[(s - l) * k + i];
        return y;
    };
    const double* seg = z + (t - vol.n) * k;
    std::fill(acc.begin(), acc.end(), 0.0);
    for (std::ptrdiff_t s = 0; s < vol.n; ++s)
        for (int i = 0; i < k; ++i) acc[i] += (lagged(seg, s, vol.c, i) * seg[s * k + i]) * vol.w[s];
    for (int i = 0; i < k; ++i) g_vol[i] = 2.0 * acc[i];

    seg = z + (t - corr.n) * k;
    for (std::ptrdiff_t i = 0; i < std::ptrdiff_t(k) * kv; ++i) b[i] = splat(0.0);
    for (int c = 0; c < kv; ++c) yv[c] = splat(0.0);
    for (std::ptrdiff_t s = 0; s < corr.n; ++s) {
        for (int i = 0; i < k; ++i) yv[i / kLanes][i % kLanes] = lagged(seg, s, corr.c, i);
        const double ws = corr.w[s];
        for (int i = 0; i < k; ++i) {
            const Vec a = splat(seg[s * k + i] * ws);
            Vec* row = b.data() + std::ptrdiff_t(i) * kv;
            for (int c = 0; c < kv; ++c) row[c] += a * yv[c];
        }
    }
    for (int i = 0; i < k; ++i)
        for (int j = 0; j < k; ++j)
            g_corr[i * k + j] = b[std::ptrdiff_t(i) * kv + j / kLanes][j % kLanes] +
                                b[std::ptrdiff_t(j) * kv + i / kLanes][i % kLanes];
}

}  // namespace

bool eigen_bias_sums(const double* vals, const double* g_vol, const double* g_corr, std::ptrdiff_t draws, int n,
                     double* est, double* tru, int threads) {
    if (n <= 0) return true;
    const std::ptrdiff_t groups = (draws + kLanes - 1) / kLanes;
    // per draw, then summed in draw order: the same bits for any number of threads
    std::vector<double> e(size_t(draws) * n), t(size_t(draws) * n);
    std::vector<std::uint8_t> ok(size_t(groups), 1);
    parallel_for(groups, threads, [&](std::ptrdiff_t g0, std::ptrdiff_t g1) {
        EigenScratch s(n);
        for (std::ptrdiff_t g = g0; g < g1; ++g) {
            std::ptrdiff_t draw[kLanes];
            const int used = int(std::min<std::ptrdiff_t>(kLanes, draws - g * kLanes));
            for (int l = 0; l < kLanes; ++l) draw[l] = g * kLanes + std::min(l, used - 1);
            ok[g] = eigen_group(vals, g_vol, g_corr, n, draw, used, s, e.data() + g * kLanes * n,
                                t.data() + g * kLanes * n);
        }
    });
    if (std::find(ok.begin(), ok.end(), 0) != ok.end()) return false;
    std::fill(est, est + n, 0.0);
    std::fill(tru, tru + n, 0.0);
    for (std::ptrdiff_t m = 0; m < draws; ++m)
        for (int k = 0; k < n; ++k) {
            est[k] += e[m * n + k];
            tru[k] += t[m * n + k];
        }
    for (int k = 0; k < n; ++k)
        if (!std::isfinite(est[k]) || !std::isfinite(tru[k])) return false;
    return true;
}

void nw_grams(const double* z, std::ptrdiff_t draws, std::ptrdiff_t t, int k, const GramWeights& vol,
              const GramWeights& corr, int lags, double* g_vol, double* g_corr, int threads) {
    if (k <= 0) return;
    parallel_for(draws, threads, [&](std::ptrdiff_t d0, std::ptrdiff_t d1) {
        const int kv = (k + kLanes - 1) / kLanes;
        Lanes<Vec> b{size_t(k) * size_t(kv)}, yv{size_t(kv)};
        std::vector<double> acc(static_cast<size_t>(k));
        for (std::ptrdiff_t d = d0; d < d1; ++d)
            draw_grams(z + d * t * k, t, k, vol, corr, lags, g_vol + d * k, g_corr + d * k * k, b, yv, acc);
    });
}

}  // namespace velquor::rmk
