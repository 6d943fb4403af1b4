/// velquor._rmkernels: the hot loops of the risk-model estimation on plain row-major buffers.
///
/// Every function here reproduces a numpy routine of velquor.riskmodel (the reference) operation for
/// operation where that is cheap (the windowed sums, the industry means) and up to rounding elsewhere (sums
/// over a row, the normal equations of the regressions). None of them touches Python: the bindings in
/// module.cpp check shapes, release the GIL and call these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace velquor::rmk {

/// Rows of the blocks windowed sums are assembled from (the reference's BLOCK).
inline constexpr std::ptrdiff_t kBlock = 64;

/// Runs fn(begin, end) over [0, n) split into contiguous ranges, on up to `threads` threads (the calling
/// thread included). The first exception thrown by any range is rethrown once every thread has finished.
void parallel_for(std::ptrdiff_t n, int threads, const std::function<void(std::ptrdiff_t, std::ptrdiff_t)>& fn);

/// numpy's nan_to_num with nan=0: NaN to 0, infinities to the largest finite values of their sign.
double nan_to_num(double v) noexcept;

/// One windowed sum over a scratch buffer of `w` interleaved columns: S[t] = sum over j < window of
/// lam**j x[t - j] (lam = 1 for `unit`), truncated at the start. `local` holds nb * kBlock rows (row r at
/// local + r * w), the data starting at row `lead` after zero rows and already passed through nan_to_num; it
/// is turned into block-wise prefix sums in place. Writes `n` rows of `w` values to `out` (row stride
/// `out_stride`).
void windowed_sum_local(double* local, std::ptrdiff_t lead, std::ptrdiff_t n, std::ptrdiff_t w, double lam,
                        bool unit, std::ptrdiff_t window, double* out, std::ptrdiff_t out_stride);

/// windowed_sum of a (rows x cols) row-major array into `out` (same shape), columns in parallel.
void windowed_sum(const double* x, std::ptrdiff_t rows, std::ptrdiff_t cols, double lam, bool unit,
                  std::ptrdiff_t window, std::ptrdiff_t origin, double* out, int threads);

/// Cap-weighted market return of each day, weighted by the previous day's cap.
void market_return(const double* ret_clean, const double* cap, std::ptrdiff_t rows, std::ptrdiff_t cols,
                   double* out);

/// Time-series style descriptors (beta, hsigma, dastd, momentum, liquidity) of every stock, rows r0 on.
struct DescriptorParams {
    double beta_lam;  // decay of the beta and volatility weights
    std::ptrdiff_t beta_window, beta_min_obs, mom_window, mom_lag, mom_min_obs;
};
struct DescriptorOut {
    double* beta;
    double* hsigma;
    double* dastd;
    double* mom;
    double* liq;
    std::ptrdiff_t stride;  // between the rows of each output (cols for separate panels)
};
/// Descriptors of one row of the interleaved layout (rows, kDescriptors, cols), in this order: beta, hsigma,
/// dastd, mom, liq. A row holds 40 bytes per stock, as many as a row of the ten float32 styles, so `styles`
/// can write the exposures over the descriptors they are made from.
inline constexpr std::ptrdiff_t kDescriptors = 5;
void descriptors(const double* ret, const double* clean, const double* turnover, const double* mkt,
                 std::ptrdiff_t rows, std::ptrdiff_t cols, std::ptrdiff_t r0, std::ptrdiff_t origin,
                 const DescriptorParams& par, const DescriptorOut& out, int threads);

/// Per-thread scratch of the row kernels below (grown as needed, reused row after row).
struct RowScratch {
    std::vector<double> v, xs, num, den;
    std::vector<std::uint8_t> ok;
    std::vector<std::uint32_t> idx;
};

/// Most regressors orthogonalise takes.
inline constexpr int kMaxRegressors = 8;

/// One row of standardise (x, cap and o hold `cols` values; o must not alias x).
void standardise_row(const double* x, const double* cap, std::ptrdiff_t cols, double mads, double* o,
                     RowScratch& s);
/// One row of orthogonalise (nx <= kMaxRegressors; out must not alias y or the regressors).
void orthogonalise_row(const double* y, const double* const* xs, int nx, const double* cap, std::ptrdiff_t cols,
                       double* out, RowScratch& s);
/// One row of fill_industry: out[c * out_stride] for every column c.
void fill_industry_row(const double* x, const double* cap, const std::int16_t* industry, std::ptrdiff_t cols,
                       int n_ind, float* out, std::ptrdiff_t out_stride, RowScratch& s);

/// Median of the values of v (no NaN among them; NaN when empty), as numpy's median takes it.
double finite_median(const std::vector<double>& v);

/// Median of the finite entries of every row (NaN for a row without any).
void row_median(const double* x, std::ptrdiff_t rows, std::ptrdiff_t cols, double* out, int threads);

/// Winsorised and standardised rows over the entries where x and cap are both finite.
void standardise(const double* x, const double* cap, std::ptrdiff_t rows, std::ptrdiff_t cols, double mads,
                 double* out, int threads);

/// Residual of a cap-weighted regression, row by row, of y on a constant and the `nx` arrays of `xs`.
void orthogonalise(const double* y, const double* const* xs, int nx, const double* cap, std::ptrdiff_t rows,
                   std::ptrdiff_t cols, double* out, int threads);

/// Missing values of live stocks filled with their industry's cap-weighted mean of the day, as float32.
void fill_industry(const double* x, const double* cap, const std::int16_t* industry, std::ptrdiff_t rows,
                   std::ptrdiff_t cols, int n_ind, float* out, std::ptrdiff_t out_stride, int threads);

/// The specific-risk series of one horizon (velquor.riskmodel.pipeline._specific_var_series and the mean
/// absolute specific return of horizon_series), from specific returns u (rows x cols) on rows first on; row
/// `first` is calendar position `origin`. Rows before `first` come out NaN.
struct SpecificParams {
    double lam;           // EWMA decay of the specific half-life
    std::ptrdiff_t window, lags;
    double threshold;     // a weight sum at or below this is no observation
    double min_obs;       // observations a stock needs to count in the day's typical volatility
    double floor_share;   // the floor of specific volatility, as a share of the typical one
};
struct SpecificOut {
    double* var;     // Newey-West specific variance, floored
    double* var0;    // plain EWMA specific variance, floored
    double* cnt;     // observations in the window
    double* absdev;  // EWMA mean absolute specific return
};
void specific_series(const double* u, std::ptrdiff_t rows, std::ptrdiff_t cols, std::ptrdiff_t first,
                     std::ptrdiff_t origin, const SpecificParams& par, const SpecificOut& out, int threads);

/// The daily sums of pipeline._specific_regime over rows r0 .. r1 - 1 (r0 >= 1) for each of `dates` as-of
/// rows at[d]: realised squared specific returns (num; NaN on a day without any usable stock) and their
/// forecasts of the day before (den), stocks weighted by the previous day's cap over their plain variance as
/// of row at[d]. Arrays are (rows x cols); num and den are (dates x (r1 - r0)). The rows are read once for
/// all dates.
void specific_regime(const double* u, const double* var0, const double* cnt, const double* cap, std::ptrdiff_t cols,
                     std::ptrdiff_t r0, std::ptrdiff_t r1, const std::ptrdiff_t* at, std::ptrdiff_t dates,
                     double min_obs, double* num, double* den);

/// Styles of the fused kernel, in the order its `slot` array is indexed by.
enum Style : int {
    kSize, kBeta, kMomentum, kResidualVolatility, kNonLinearSize, kBookToPrice, kLiquidity, kEarningsYield,
    kGrowth, kLeverage, kStyleCount
};
static_assert(kStyleCount * sizeof(float) == kDescriptors * sizeof(double),
              "a row of styles fills the bytes of a row of interleaved descriptors");
/// Inputs of `styles`: (rows x cols) row-major arrays of the descriptors, the fundamentals, caps and industries.
/// Row t of a descriptor starts at its pointer + t * dstride (cols for separate panels, kDescriptors * cols for
/// the interleaved layout); the other arrays' rows are cols apart.
struct StyleIn {
    const double *beta, *hsigma, *dastd, *mom, *liq, *book, *earnings, *debt, *growth, *cap;
    const std::int16_t* industry;
    std::ptrdiff_t rows, cols, dstride;
    int n_ind;
    std::ptrdiff_t n_styles;  // styles of the output (its last dimension)
    int slot[kStyleCount];    // output position of every Style
};
/// Every style of every row at once, as velquor.riskmodel.exposures._styles computes them (winsorised and
/// standardised, the orthogonalised ones against size and beta, industry-filled), into out (rows, cols,
/// n_styles) float32. No temporaries of the panel's size: each thread works through its rows in scratch.
/// A row's descriptors are read before anything of its output is written, so with kStyleCount == 2 *
/// kDescriptors and the interleaved layout `out` may lie over the descriptors (row t over row t).
void styles(const StyleIn& in, double mads, float* out, int threads);

/// Writes `count` records into (rows x cols) panels: record i goes to row row_of_day[day[i]] (none when
/// negative) and column col[i], one panel per value array; cells without a record are left as they are.
void scatter(const std::int32_t* day, const std::int32_t* col, std::ptrdiff_t count, const std::int64_t* row_of_day,
             const double* const* values, int fields, std::ptrdiff_t cols, double* const* out);

/// Point-in-time panels of `fields` values from report states in announcement order: state i (values[f][i],
/// NaN = not reported) of stock col[i] is known from panel row row[i] on (rows never fall from one state to the
/// next; a later state of a stock on the same row replaces an earlier one). A cell holds, of each field, the
/// latest value that is not NaN among its stock's states up to its row (NaN before any). out[f] is (rows x cols).
void fill_states(const std::int64_t* row, const std::int64_t* col, const double* const* values, int fields,
                 std::ptrdiff_t states, std::ptrdiff_t rows, std::ptrdiff_t cols, double* const* out);

/// The daily constrained cross-sectional regressions of a factor history.
struct RegressionIn {
    const double* y;             // (days, n) one-day returns of the day
    const float* x;              // (days, n, styles) exposures as of the day before
    const std::int16_t* industry;  // (days, n) industries as of the day before
    const double* cap;           // (days, n) caps of the day before
    const std::uint8_t* est;     // (days, n) estimation universe
    const std::uint8_t* has;     // (days, n) stocks with a specific return
    const std::uint8_t* active;  // (days,) days that are regressed at all
    std::ptrdiff_t days, n, styles;
    int n_ind;
    double regression_mads, specific_mads;
};
/// Writes fr (days x (1 + n_ind + styles)), resid (days x n) and failed (days): 1 where the normal
/// equations were singular (the caller solves those days another way; their rows are left NaN).
void regressions(const RegressionIn& in, double* fr, double* resid, std::uint8_t* failed, int threads);

/// x clipped to the median +- mads robust standard deviations of x over `mask` (unchanged when that spread
/// vanishes or the mask is empty). `scratch` is resized as needed.
void robust_cap(double* x, const std::uint8_t* mask, std::ptrdiff_t n, double mads, std::vector<double>& scratch);

/// The eigenfactor simulation's sums over `draws` simulated matrices (velquor.riskmodel.kernels.
/// simulated_eigen_bias): draw m's matrix is g_corr[m] (n x n) scaled to the simulated volatilities
/// sqrt(g_vol[m, i] vals[i]) (vals: the covariance's eigenvalues, none negative). Per rank k of the ascending
/// eigenvalues, est[k] sums the k-th eigenvalues (negative ones as 0) and tru[k] the Rayleigh quotients of their
/// eigenvectors with diag(vals). False when an eigenvalue failed to converge or a sum is not finite (the caller
/// then takes another route).
/// The last n rows of a simulated history with their weights w and the Newey-West coefficients c[0 .. lags]
/// (c[0] = 1 / (2 sum w), c[l] = Bartlett weight of lag l / sum of w[l ..]).
struct GramWeights {
    const double* w;
    std::ptrdiff_t n;
    const double* c;
};
/// The simulated moments of velquor.riskmodel.kernels._nw_gram_folded for every draw of z (draws x t x k):
/// g_vol (draws x k) the diagonal of the volatility moments, g_corr (draws x k x k) the correlation moments,
/// each over its own segment: B + B' for B = sum_s w_s z_s y_s', y_s = c_0 z_s + sum_l c_l z_{s-l}.
void nw_grams(const double* z, std::ptrdiff_t draws, std::ptrdiff_t t, int k, const GramWeights& vol,
              const GramWeights& corr, int lags, double* g_vol, double* g_corr, int threads);

bool eigen_bias_sums(const double* vals, const double* g_vol, const double* g_corr, std::ptrdiff_t draws, int n,
                     double* est, double* tru, int threads);

}  // namespace velquor::rmk
