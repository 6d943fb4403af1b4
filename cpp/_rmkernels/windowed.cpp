/// Windowed sums and the time-series descriptors built on them.
#include "_rmkernels/kernels.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace velquor::rmk {

void parallel_for(std::ptrdiff_t n, int threads, const std::function<void(std::ptrdiff_t, std::ptrdiff_t)>& fn) {
    if (n <= 0) return;
    const std::ptrdiff_t parts = std::clamp<std::ptrdiff_t>(threads, 1, n);
    if (parts == 1) {
        fn(0, n);
        return;
    }
    std::exception_ptr error;
    std::mutex lock;
    auto run = [&](std::ptrdiff_t p) {
        try {
            fn(n * p / parts, n * (p + 1) / parts);
        } catch (...) {
            std::lock_guard<std::mutex> guard(lock);
            if (!error) error = std::current_exception();
        }
    };
    {
        std::vector<std::jthread> pool;
        pool.reserve(static_cast<size_t>(parts - 1));
        for (std::ptrdiff_t p = 1; p < parts; ++p) pool.emplace_back(run, p);
        run(0);
    }  // joined here
    if (error) std::rethrow_exception(error);
}

double nan_to_num(double v) noexcept {
    if (std::isnan(v)) return 0.0;
    if (std::isinf(v)) return v > 0 ? std::numeric_limits<double>::max() : -std::numeric_limits<double>::max();
    return v;
}

namespace {

/// The first step of windowed_sum_local: sums within each block up to each row, in place.
void block_prefix(double* local, std::ptrdiff_t lead, std::ptrdiff_t n, std::ptrdiff_t w, double lam, bool unit) {
    const std::ptrdiff_t nb = (lead + n + kBlock - 1) / kBlock;
    for (std::ptrdiff_t b = 0; b < nb; ++b) {
        for (std::ptrdiff_t r = 1; r < kBlock; ++r) {
            double* cur = local + (b * kBlock + r) * w;
            const double* prev = cur - w;
            if (unit) {
                for (std::ptrdiff_t c = 0; c < w; ++c) cur[c] += prev[c];
            } else {
                for (std::ptrdiff_t c = 0; c < w; ++c) cur[c] += lam * prev[c];
            }
        }
    }
}

/// The second step: each row's window from the block prefix sums (read only, so one prefix serves several
/// windows of the same data).
void windows_from_prefix(const double* local, std::ptrdiff_t lead, std::ptrdiff_t n, std::ptrdiff_t w, double lam,
                         std::ptrdiff_t window, double* out, std::ptrdiff_t out_stride) {
    auto total = [&](std::ptrdiff_t b) { return local + (b * kBlock + kBlock - 1) * w; };
    const double lam_b = std::pow(lam, static_cast<double>(kBlock));
    const double lam_w = std::pow(lam, static_cast<double>(window));
    double coefs[kBlock];  // lam ** (offset in the block + 1), as the reference computes it
    for (std::ptrdiff_t r = 0; r < kBlock; ++r) coefs[r] = std::pow(lam, static_cast<double>(r) + 1.0);
    std::vector<double> whole(static_cast<size_t>(w));  // the whole blocks before t's own in the window
    std::ptrdiff_t cached_k = -1, cached_d = -1;
    for (std::ptrdiff_t t = lead; t < lead + n; ++t) {
        const std::ptrdiff_t k = t / kBlock;
        const std::ptrdiff_t s0 = std::max<std::ptrdiff_t>(t - window + 1, 0);
        const std::ptrdiff_t d = k - s0 / kBlock;
        double* o = out + (t - lead) * out_stride;
        const double* row = local + t * w;
        for (std::ptrdiff_t c = 0; c < w; ++c) o[c] = row[c];
        if (d > 0) {
            if (k != cached_k || d != cached_d) {
                const double* first = total(k - d);
                for (std::ptrdiff_t c = 0; c < w; ++c) whole[static_cast<size_t>(c)] = first[c];
                for (std::ptrdiff_t j = d - 1; j >= 1; --j) {  // oldest block first
                    const double* tb = total(k - j);
                    for (std::ptrdiff_t c = 0; c < w; ++c)
                        whole[static_cast<size_t>(c)] = whole[static_cast<size_t>(c)] * lam_b + tb[c];
                }
                cached_k = k;
                cached_d = d;
            }
            const double coef = coefs[t - k * kBlock];
            for (std::ptrdiff_t c = 0; c < w; ++c) o[c] += coef * whole[static_cast<size_t>(c)];
        }
        if (s0 > 0 && s0 % kBlock != 0) {
            const double* before = local + (s0 - 1) * w;  // the part of the first block before the window
            for (std::ptrdiff_t c = 0; c < w; ++c) o[c] -= lam_w * before[c];
        }
    }
}

}  // namespace

void windowed_sum_local(double* local, std::ptrdiff_t lead, std::ptrdiff_t n, std::ptrdiff_t w, double lam,
                        bool unit, std::ptrdiff_t window, double* out, std::ptrdiff_t out_stride) {
    if (n <= 0) return;
    block_prefix(local, lead, n, w, lam, unit);
    windows_from_prefix(local, lead, n, w, lam, window, out, out_stride);
}

namespace {

constexpr std::ptrdiff_t kChunk = 32;  // columns per scratch buffer

/// Scratch of one column chunk: the block buffer and the row count it spans.
struct Local {
    std::ptrdiff_t lead, n, nb, w;
    std::vector<double> buf;

    Local(std::ptrdiff_t origin, std::ptrdiff_t rows)
        : lead(origin % kBlock), n(rows), nb((origin % kBlock + rows + kBlock - 1) / kBlock), w(kChunk),
          buf(static_cast<size_t>(nb * kBlock * kChunk)) {}

    /// Loads value(i, c) for rows i < n, columns c < width (zeros around), then sums into out.
    template <class F>
    void sum(std::ptrdiff_t width, F value, double lam, bool unit, std::ptrdiff_t window, double* out,
             std::ptrdiff_t out_stride) {
        load(width, value);
        windowed_sum_local(buf.data(), lead, n, w, lam, unit, window, out, out_stride);
    }

    /// The same for unit weights and several windows over one load: outs[j] gets the sums over windows[j].
    template <class F, size_t K>
    void unit_sums(std::ptrdiff_t width, F value, const std::ptrdiff_t (&windows)[K], double* const (&outs)[K],
                   std::ptrdiff_t out_stride) {
        load(width, value);
        if (n <= 0) return;
        block_prefix(buf.data(), lead, n, w, 1.0, true);
        for (size_t j = 0; j < K; ++j) windows_from_prefix(buf.data(), lead, n, w, 1.0, windows[j], outs[j], out_stride);
    }

private:
    /// value(i, c) into rows lead .. lead + n - 1 (through nan_to_num), zeros in the rows around them.
    template <class F>
    void load(std::ptrdiff_t width, F value) {
        w = width;
        std::fill(buf.begin(), buf.begin() + lead * w, 0.0);
        for (std::ptrdiff_t i = 0; i < n; ++i) {
            double* row = buf.data() + (lead + i) * w;
            for (std::ptrdiff_t c = 0; c < w; ++c) row[c] = nan_to_num(value(i, c));
        }
        std::fill(buf.begin() + (lead + n) * w, buf.begin() + nb * kBlock * w, 0.0);
    }
};

}  // namespace

void windowed_sum(const double* x, std::ptrdiff_t rows, std::ptrdiff_t cols, double lam, bool unit,
                  std::ptrdiff_t window, std::ptrdiff_t origin, double* out, int threads) {
    if (rows <= 0 || cols <= 0) return;
    const std::ptrdiff_t chunks = (cols + kChunk - 1) / kChunk;
    parallel_for(chunks, threads, [&](std::ptrdiff_t a, std::ptrdiff_t b) {
        Local local(origin, rows);
        for (std::ptrdiff_t ch = a; ch < b; ++ch) {
            const std::ptrdiff_t c0 = ch * kChunk, width = std::min(kChunk, cols - c0);
            local.sum(width, [&](std::ptrdiff_t i, std::ptrdiff_t c) { return x[i * cols + c0 + c]; }, lam, unit,
                      window, out + c0, cols);
        }
    });
}

void market_return(const double* ret_clean, const double* cap, std::ptrdiff_t rows, std::ptrdiff_t cols,
                   double* out) {
    for (std::ptrdiff_t t = 0; t < rows; ++t) {
        const double* w = cap + (t > 0 ? t - 1 : 0) * cols;
        const double* r = ret_clean + t * cols;
        double tot = 0.0, num = 0.0;
        for (std::ptrdiff_t c = 0; c < cols; ++c) {
            if (std::isfinite(r[c]) && std::isfinite(w[c])) {
                tot += w[c];
                num += w[c] * r[c];
            }
        }
        out[t] = tot > 0 ? num / tot : 0.0;
    }
}

void descriptors(const double* ret, const double* clean, const double* turnover, const double* mkt,
                 std::ptrdiff_t rows, std::ptrdiff_t cols, std::ptrdiff_t r0, std::ptrdiff_t origin,
                 const DescriptorParams& par, const DescriptorOut& out, int threads) {
    const std::ptrdiff_t beta_window = par.beta_window, beta_min_obs = par.beta_min_obs,
                         mom_window = par.mom_window, mom_lag = par.mom_lag, mom_min_obs = par.mom_min_obs;
    const double beta_lam = par.beta_lam;
    if (rows <= 0 || cols <= 0 || r0 >= rows) return;
    const std::ptrdiff_t chunks = (cols + kChunk - 1) / kChunk;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    parallel_for(chunks, threads, [&](std::ptrdiff_t a, std::ptrdiff_t b) {
        Local local(origin, rows);
        const size_t sz = static_cast<size_t>(rows * kChunk);
        std::vector<double> sw(sz), sm(sz), sr(sz), smm(sz), srm(sz), srr(sz), nobs(sz), mom(sz), mobs(sz),
            stom(sz), stoq(sz), stoa(sz);
        for (std::ptrdiff_t ch = a; ch < b; ++ch) {
            const std::ptrdiff_t c0 = ch * kChunk, w = std::min(kChunk, cols - c0);
            auto at = [&](const double* p, std::ptrdiff_t i, std::ptrdiff_t c) { return p[i * cols + c0 + c]; };
            auto valid = [&](std::ptrdiff_t i, std::ptrdiff_t c) { return std::isfinite(at(clean, i, c)); };
            auto m = [&](std::ptrdiff_t i, std::ptrdiff_t c) { return valid(i, c) ? mkt[i] : 0.0; };
            auto r = [&](std::ptrdiff_t i, std::ptrdiff_t c) { return valid(i, c) ? at(clean, i, c) : 0.0; };
            auto one = [&](std::ptrdiff_t i, std::ptrdiff_t c) { return valid(i, c) ? 1.0 : 0.0; };
            local.sum(w, one, beta_lam, false, beta_window, sw.data(), w);
            local.sum(w, m, beta_lam, false, beta_window, sm.data(), w);
            local.sum(w, r, beta_lam, false, beta_window, sr.data(), w);
            local.sum(w, [&](auto i, auto c) { return m(i, c) * m(i, c); }, beta_lam, false, beta_window, smm.data(), w);
            local.sum(w, [&](auto i, auto c) { return r(i, c) * m(i, c); }, beta_lam, false, beta_window, srm.data(), w);
            local.sum(w, [&](auto i, auto c) { return r(i, c) * r(i, c); }, beta_lam, false, beta_window, srr.data(), w);
            local.sum(w, one, 1.0, true, beta_window, nobs.data(), w);
            auto traded = [&](std::ptrdiff_t i, std::ptrdiff_t c) { return std::isfinite(at(ret, i, c)); };
            local.sum(w, [&](auto i, auto c) {
                return traded(i, c) ? std::log1p(std::max(at(ret, i, c), -0.99)) : 0.0;
            }, 1.0, true, mom_window, mom.data(), w);
            local.sum(w, [&](auto i, auto c) { return traded(i, c) ? 1.0 : 0.0; }, 1.0, true, mom_window,
                      mobs.data(), w);
            auto turn = [&](std::ptrdiff_t i, std::ptrdiff_t c) { return nan_to_num(at(turnover, i, c)); };
            local.unit_sums(w, turn, {21, 63, 252}, {stom.data(), stoq.data(), stoa.data()}, w);
            for (std::ptrdiff_t i = r0; i < rows; ++i) {
                const std::ptrdiff_t o = (i - r0) * out.stride + c0;
                for (std::ptrdiff_t c = 0; c < w; ++c) {
                    const size_t k = static_cast<size_t>(i * w + c);
                    const double s = sw[k];
                    const double cov_rm = srm[k] / s - sr[k] * sm[k] / (s * s);
                    const double mm = sm[k] / s, rr = sr[k] / s;
                    const double var_m = smm[k] / s - mm * mm;
                    const double var_r = srr[k] / s - rr * rr;
                    const double beta = cov_rm / var_m;
                    const double hs = std::sqrt(std::max(var_r - beta * cov_rm, 0.0));
                    const double da = std::sqrt(std::max(var_r, 0.0));
                    const bool enough = nobs[k] >= beta_min_obs;
                    out.beta[o + c] = enough ? beta : nan;
                    out.hsigma[o + c] = enough ? hs : nan;
                    out.dastd[o + c] = enough ? da : nan;
                    double mv = nan, mo = 0.0;
                    if (i >= mom_lag) {
                        const size_t kl = static_cast<size_t>((i - mom_lag) * w + c);
                        mv = mom[kl];
                        mo = mobs[kl];
                    }
                    out.mom[o + c] = mo >= mom_min_obs ? mv : nan;
                    const double liq = 0.35 * std::log(stom[k]) + 0.35 * std::log(stoq[k] / 3.0) +
                                       0.30 * std::log(stoa[k] / 12.0);
                    out.liq[o + c] = std::isfinite(liq) ? liq : nan;
                }
            }
        }
    });
}

namespace {

/// numpy's maximum: NaN in either operand gives NaN.
double nan_max(double a, double b) noexcept { return (std::isnan(a) || std::isnan(b)) ? a + b : (a < b ? b : a); }

}  // namespace

void specific_series(const double* u, std::ptrdiff_t rows, std::ptrdiff_t cols, std::ptrdiff_t first,
                     std::ptrdiff_t origin, const SpecificParams& par, const SpecificOut& out, int threads) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (double* o : {out.var, out.var0, out.cnt, out.absdev}) std::fill(o, o + first * cols, nan);
    const std::ptrdiff_t n = rows - first;
    if (n <= 0 || cols <= 0) return;
    const std::ptrdiff_t chunks = (cols + kChunk - 1) / kChunk;
    parallel_for(chunks, threads, [&](std::ptrdiff_t a, std::ptrdiff_t b) {
        Local local(origin, n);
        const size_t sz = static_cast<size_t>(n * kChunk);
        std::vector<double> num(sz), den(sz), cnt(sz), v(sz);
        for (std::ptrdiff_t ch = a; ch < b; ++ch) {
            const std::ptrdiff_t c0 = ch * kChunk, w = std::min(kChunk, cols - c0);
            auto at = [&](std::ptrdiff_t i, std::ptrdiff_t c) { return u[(first + i) * cols + c0 + c]; };
            auto sq = [&](std::ptrdiff_t i, std::ptrdiff_t c) { return at(i, c) * at(i, c); };
            local.sum(w, [&](auto i, auto c) { return std::isfinite(sq(i, c)) ? sq(i, c) : 0.0; }, par.lam, false,
                      par.window, num.data(), w);
            local.sum(w, [&](auto i, auto c) { return std::isfinite(sq(i, c)) ? 1.0 : 0.0; }, par.lam, false,
                      par.window, den.data(), w);
            local.sum(w, [&](auto i, auto c) { return std::isfinite(sq(i, c)) ? 1.0 : 0.0; }, 1.0, true, par.window,
                      cnt.data(), w);
            for (std::ptrdiff_t i = 0; i < n; ++i) {
                double* v0 = out.var0 + (first + i) * cols + c0;
                double* cn = out.cnt + (first + i) * cols + c0;
                for (std::ptrdiff_t c = 0; c < w; ++c) {
                    const size_t k = static_cast<size_t>(i * w + c);
                    v0[c] = cnt[k] > 0 ? num[k] / den[k] : nan;
                    cn[c] = cnt[k];
                    v[k] = v0[c];
                }
            }
            for (std::ptrdiff_t lag = 1; lag <= par.lags; ++lag) {
                auto prod = [&](std::ptrdiff_t i, std::ptrdiff_t c) {
                    return at(i, c) * (i >= lag ? at(i - lag, c) : nan);
                };
                local.sum(w, [&](auto i, auto c) { return std::isfinite(prod(i, c)) ? prod(i, c) : 0.0; }, par.lam,
                          false, par.window, num.data(), w);
                local.sum(w, [&](auto i, auto c) { return std::isfinite(prod(i, c)) ? 1.0 : 0.0; }, par.lam, false,
                          par.window, den.data(), w);
                const double coef = (1.0 - static_cast<double>(lag) / (static_cast<double>(par.lags) + 1.0)) * 2.0;
                for (size_t k = 0; k < static_cast<size_t>(n * w); ++k)
                    v[k] = v[k] + coef * nan_to_num(den[k] > par.threshold ? num[k] / den[k] : nan);
            }
            for (std::ptrdiff_t i = 0; i < n; ++i) {
                double* vo = out.var + (first + i) * cols + c0;
                const double* v0 = out.var0 + (first + i) * cols + c0;
                for (std::ptrdiff_t c = 0; c < w; ++c) vo[c] = nan_max(v[static_cast<size_t>(i * w + c)], 0.5 * v0[c]);
            }
            auto absu = [&](std::ptrdiff_t i, std::ptrdiff_t c) { return std::abs(at(i, c)); };
            local.sum(w, [&](auto i, auto c) { return std::isfinite(absu(i, c)) ? absu(i, c) : 0.0; }, par.lam, false,
                      par.window, num.data(), w);
            local.sum(w, [&](auto i, auto c) { return std::isfinite(absu(i, c)) ? 1.0 : 0.0; }, par.lam, false,
                      par.window, den.data(), w);
            for (std::ptrdiff_t i = 0; i < n; ++i) {
                double* ad = out.absdev + (first + i) * cols + c0;
                for (std::ptrdiff_t c = 0; c < w; ++c) {
                    const size_t k = static_cast<size_t>(i * w + c);
                    ad[c] = den[k] > par.threshold ? num[k] / den[k] : nan;
                }
            }
        }
    });
    // A floor at a fraction of each day's typical specific volatility (over stocks with enough history).
    parallel_for(n, threads, [&](std::ptrdiff_t a, std::ptrdiff_t b) {
        std::vector<double> vals;
        vals.reserve(static_cast<size_t>(cols));
        for (std::ptrdiff_t i = a; i < b; ++i) {
            double* v0 = out.var0 + (first + i) * cols;
            double* vo = out.var + (first + i) * cols;
            const double* cn = out.cnt + (first + i) * cols;
            vals.clear();
            for (std::ptrdiff_t c = 0; c < cols; ++c) {
                const double sd = cn[c] >= par.min_obs ? std::sqrt(v0[c]) : nan;
                if (std::isfinite(sd)) vals.push_back(sd);
            }
            const double typical = finite_median(vals);
            const double f = par.floor_share * nan_to_num(typical);
            const double floor = f * f;
            for (std::ptrdiff_t c = 0; c < cols; ++c) {
                v0[c] = nan_max(v0[c], floor);
                vo[c] = nan_max(vo[c], floor);
            }
        }
    });
}

}  // namespace velquor::rmk
