"""Model constants: factor layout, descriptor windows and the per-horizon half-lives."""

from __future__ import annotations

from dataclasses import dataclass

from ..const import CovModel, RiskModel, STYLE_FACTORS

__all__ = [
    "Horizon",
    "HORIZONS",
    "COUNTRY",
    "STYLE_FACTORS",
    "FIRST_REGRESSION_INDEX",
    "MIN_FACTOR_OBS",
    "FIRST_ASOF_INDEX",
    "EXPOSURE_LOOKBACK",
    "MODEL_VERSION",
    "variant_name",
]

#: Bumped whenever a change alters persisted numbers; part of the store fingerprint.
MODEL_VERSION = "10"

COUNTRY = "country"

# The first cross-sectional regression runs on the 127th trading day of the store: exposures as of the day
# before it rest on half a year of returns (the year-long descriptors use what there is).
FIRST_REGRESSION_INDEX = 126
# A factor covariance needs at least a quarter of factor returns; a store with a year of history serves
# every date after its first year.
MIN_FACTOR_OBS = 63
#: Index (in the store's trading calendar) of the first date a model can be estimated as of.
FIRST_ASOF_INDEX = FIRST_REGRESSION_INDEX + MIN_FACTOR_OBS - 1
#: Trading days of returns the descriptors look back (beta, volatility and momentum: one year).
EXPOSURE_LOOKBACK = 252
#: A stock enters the regression once it has traded this many days since listing (IPO noise stays out).
MIN_LISTED_DAYS = 63


def factor_count(uni) -> int:
    """Factors of a universe's model: country, its industries, the styles."""
    return 1 + len(uni.industry_names) + len(STYLE_FACTORS)


@dataclass(frozen=True)
class Horizon:
    """Half-lives (trading days) and lags of one forecast horizon."""

    days: int  # forecast horizon: the covariance is that of the sum of this many daily returns
    vol_halflife: int
    corr_halflife: int
    nw_lags: int  # Newey-West lags of the factor covariance (Bartlett weights)
    spec_halflife: int
    spec_nw_lags: int
    regime_halflife: int  # of the factor volatility regime multiplier (V2), and of its fading over the horizon
    shrinkage: float  # Bayesian shrinkage intensity of specific volatility
    # V1 only: weight of the identity in the factor correlation matrix, (1 - w) C + w I. Variances stay; the
    # smallest eigenvalues, which sampling noise understates and minimum-variance portfolios load on, rise.
    # 0.1 was set on an independent draw of the demo market (seed 777, 2017 on); V2's eigenfactor
    # adjustment corrects the same noise its own way.
    v1_corr_shrinkage: float = 0.0
    # V2: half-life of the specific volatility regime multiplier (None: the factor one's). It pools the
    # specific returns of the whole market, a far less noisy daily reading than 42 factor returns that
    # share each day's fat-tailed shock, so it can follow the regime more closely.
    spec_regime_halflife: int | None = None
    # Share of the specific regime multiplier in the factor one (both variants that follow the factor regime).
    # A day's factor returns share one fat-tailed shock, so the pooled factor reading stays noisy however many
    # factors it sums; the cap-weighted specific returns of the whole market read the day's volatility almost
    # without noise, and the two regimes move together. The blend trades a little of the factor regime's own
    # detail for less noise. Off: on the calibration draws the geometric multiplier below did better.
    regime_specific_share: float = 0.0
    # With a half-life here the factor regime multiplier is the geometric mean of the daily readings, its
    # level set over 4 such half-lives (kernels.geometric_multiplier); None: the ratio of EWMA means. The
    # daily factor readings share one fat-tailed shock a day, and the mean of their logs follows the regime
    # with less noise than their plain mean (set on two independent draws of the demo market).
    regime_level_halflife: int | None = None
    # With the geometric multiplier: the slope of the factor readings' log on the specific readings' log.
    # The specific returns of the whole market read the day's volatility almost without noise; the factor
    # multiplier then follows their geometric mean (half-life ``regime_anchor_halflife``) to this power, and
    # averages over ``regime_halflife`` only the part of the factor readings it leaves unexplained. 0: off.
    regime_specific_beta: float = 0.0
    regime_anchor_halflife: int = 1

    @property
    def vol_window(self) -> int:
        return 4 * self.vol_halflife

    @property
    def corr_window(self) -> int:
        return 3 * self.corr_halflife

    @property
    def spec_window(self) -> int:
        return 4 * self.spec_halflife

    @property
    def spec_regime(self) -> int:
        return self.regime_halflife if self.spec_regime_halflife is None else self.spec_regime_halflife

    @property
    def regime_window(self) -> int:
        """Days of history the longer of the two regime multipliers reads."""
        return 4 * max(self.regime_halflife + (self.regime_level_halflife or 0), self.spec_regime)

    @property
    def lookback(self) -> int:
        """Factor-return days one estimate reaches back (windows plus the lags they multiply)."""
        return max(self.vol_window, self.corr_window) + self.nw_lags + self.regime_window


HORIZONS: dict[CovModel, Horizon] = {
    CovModel.FACTOR_MODEL_DAILY: Horizon(
        days=1, vol_halflife=126, corr_halflife=200, nw_lags=0, spec_halflife=42, spec_nw_lags=0,
        regime_halflife=5, shrinkage=0.1, v1_corr_shrinkage=0.1, spec_regime_halflife=3,
        regime_level_halflife=63, regime_specific_beta=0.8),
    CovModel.FACTOR_MODEL_MONTHLY: Horizon(
        days=21, vol_halflife=84, corr_halflife=252, nw_lags=2, spec_halflife=84, spec_nw_lags=2,
        regime_halflife=63, shrinkage=0.1, v1_corr_shrinkage=0.1),
    CovModel.FACTOR_MODEL_QUARTERLY: Horizon(
        days=63, vol_halflife=126, corr_halflife=252, nw_lags=4, spec_halflife=126, spec_nw_lags=4,
        regime_halflife=63, shrinkage=0.1, v1_corr_shrinkage=0.1),
}

#: Eigenfactor adjustment: number of simulated histories (enough for the bias of every eigenvalue rank to be
#: stable to about a percent) and the share of the simulated bias applied. The simulation runs the estimator
#: it corrects; the full bias, though, also lifts the style directions that fixed portfolios load on, which
#: were forecast without bias before. A share of 0.4 keeps those portfolios unbiased and still lifts the
#: minimum-variance forecast (set with the noise lift below on two independent draws of the demo market).
EIGEN_SIMULATIONS = 256
EIGEN_SCALE = 0.4
#: V2's regime multipliers are raised by their own relative sampling variance (kernels.ratio_multiplier): a
#: forecast divided by a noisy multiplier is understated on average, the more so the shorter its half-life.
REGIME_NOISE_CORRECTION = True
#: V1's factor covariance follows the volatility regime too (the same pooled multiplier and half-life as V2's);
#: V2 keeps to itself the eigenfactor adjustment and the specific-risk regime.
V1_FACTOR_REGIME = True
#: Each factor's variance is raised by a share of the relative sampling variance of its EWMA estimate (the
#: same convexity: a noisy variance forecast understates risk on average), per variant. The estimate assumes
#: independent days; volatility clusters, so the real sampling variance is larger and both versions take more
#: than the estimate. V2's eigenfactor adjustment already lifts the noisiest directions, so V2 takes less. Both
#: shares were set on independent draws of the demo market (the default market with seeds 777 and 778), with
#: the daily factor regime's geometric multiplier, which leaves less of its own noise to make up for; V1's
#: again with the 126-day daily volatility half-life, whose estimated sampling variance is a third of the
#: 42-day one's.
VOL_NOISE_LIFT_V1 = 4.0
VOL_NOISE_LIFT_V2 = 1.0
#: Trading days between refreshes of the simulated eigenfactor bias.
EIGEN_REFRESH = 5


def variant_name(cov_model: CovModel, risk_model: RiskModel) -> str:
    return f"{cov_model.value}-{risk_model.value}"
