"""The synthetic demo market: a deterministic A-share-like market drawn from a known factor model.

Everything here is made up. Returns follow r = X f + s * e with X the exposures to a country factor, the
industries and the ten styles of ``velquor.const.STYLE_FACTORS``, f daily factor returns (multivariate
Student-t: fat tails shared by all factors) with a slowly moving volatility regime and one crash period,
s per-stock specific volatilities and e unit-variance Student-t noise; each day's return is then held to
the daily price limit of the stock's board. The observable data (market caps, fundamentals, turnover,
returns) are generated so that the style exposures a risk model computes from them match the generator's.
Some stocks change industry once (a reclassification, effective from a month's first session) and some
reports are restated later (a second version of the same report date, announced months after the first).
The truth is stored in the ``demo_truth_*`` tables, the reclassifications and restatements in
``demo_truth_events``.
"""

from __future__ import annotations

import contextlib
import logging
import os
from pathlib import Path
from typing import NamedTuple

import numpy as np
import pandas as pd
import pyarrow as pa

from ._schema import write_database
from ._synthetic import allocate_codes, exchange_sessions
from .infra import file_lock

_log = logging.getLogger(__name__)

__all__ = ["DEMO_VERSION", "DEFAULT_SEED", "build_demo", "ensure_demo", "INDEX_IDS", "TruthForecast", "truth_forecast",
           "TruthLaw", "limited_variance"]

#: Bumped whenever the generator's output changes; part of the cache file name.
DEMO_VERSION = "5"
DEFAULT_SEED = 20150105

STYLES = ["size", "beta", "momentum", "residual_volatility", "non_linear_size", "book_to_price",
          "liquidity", "earnings_yield", "growth", "leverage"]

#: large cap (~300), mid cap (~500, the next ones by size), all market
INDEX_IDS = ("000300.XSHG", "000905.XSHG", "000985.XSHG")
_INDEX_META = [("000300.XSHG", "合成大盘300", "2005-04-08"), ("000905.XSHG", "合成中盘500", "2007-01-15"),
               ("000985.XSHG", "合成全市场", "2011-08-02")]
# id, symbol, listed, tracks (index id or None), tracking noise (daily), drift
_ETF_META = [("510300.XSHG", "合成300ETF", "2012-05-28", "000300.XSHG", 0.0004, 0.0),
             ("510500.XSHG", "合成500ETF", "2013-03-15", "000905.XSHG", 0.0005, 0.0),
             ("159915.XSHE", "合成成长ETF", "2011-12-09", "000985.XSHG", 0.004, 0.0),
             ("511010.XSHG", "合成国债ETF", "2013-03-25", None, 0.0008, 0.00012)]

_SW_NAMES = ["农林牧渔", "非银金融", "钢铁", "有色金属", "电子", "家用电器", "食品饮料", "纺织服饰", "轻工制造",
             "医药生物", "公用事业", "交通运输", "房地产", "商贸零售", "社会服务", "综合", "建筑材料", "建筑装饰",
             "电力设备", "国防军工", "计算机", "传媒", "通信", "银行", "基础化工", "汽车", "机械设备", "煤炭",
             "石油石化", "环保", "美容护理"]
_SUFFIX = ["农业", "证券", "钢铁", "矿业", "电子", "电器", "食品", "服饰", "纸业", "药业", "电力", "物流", "地产",
           "商业", "旅游", "控股", "建材", "建设", "能源", "科技", "软件", "传媒", "通信", "银行", "化工", "汽车",
           "重工", "煤业", "石化", "环境", "生物"]
_PREFIX = list("华中国金东天新海恒长宏泰鑫瑞信安盛广隆德顺通达光明远大成正兴荣和泰康富永丰晨")

# daily factor volatilities (annual / sqrt 252)
_STYLE_VOL = np.array([0.08, 0.07, 0.06, 0.06, 0.03, 0.04, 0.05, 0.03, 0.025, 0.025]) / np.sqrt(252)
_COUNTRY_VOL = 0.22 / np.sqrt(252)
_COUNTRY_MEAN = 0.00025
#: degrees of freedom of the factor returns' common Student-t mixing
_FACTOR_TAIL_DOF = 6.0
#: degrees of freedom of the specific noise's Student-t (the limit-aware truth's closed forms assume 5)
_SPEC_TAIL_DOF = 5
#: expected daily return of the size factor
_SIZE_MEAN = -0.00008
#: share of stocks reclassified once, and of reports restated once
_RECLASS_SHARE = 0.08
_RESTATE_SHARE = 0.02
#: the crash: where it starts (share of the simulated sessions), its length, its volatility multipliers
#: and the country factor's daily drift in its first and second half
_CRASH_AT, _CRASH_DAYS, _CRASH_VOL, _CRASH_SPEC_VOL = 0.45, 40, 4.0, 2.0
_CRASH_DRIFT = (-0.006, 0.003)
#: board daily price limits (a stock's first five sessions have none); the growth board widened its
#: limit on the given date
_LIMIT_MAIN, _LIMIT_WIDE = 0.10, 0.20
_GEM_WIDE_FROM = np.datetime64("2020-08-24")
_NO_LIMIT_DAYS = 5
#: the limit of a main-board stock under special treatment (the wide boards keep theirs)
_LIMIT_ST = 0.05
#: share of stocks put under special treatment once at a random time, and of delisted stocks under it in
#: their last months; mean length of a period (sessions)
_ST_SHARE, _ST_BEFORE_DELISTING, _ST_DAYS = 0.04, 0.6, 250
#: first prices: log-normal around this median (currency units); yearly chance of a bonus issue and its
#: ratios (new shares per share held)
_PRICE_MEDIAN, _BONUS_RATE, _BONUS_RATIOS = 12.0, 0.06, (0.2, 0.3, 0.5, 1.0)
#: the lowest price a stock's path reaches (a stock below about 1 for long is delisted on the exchange)
_PRICE_FLOOR = 2.5


def ensure_demo(path: str | os.PathLike) -> Path:
    """Build the default demo market at `path` unless it exists; concurrent first users wait for one build."""
    path = Path(path)
    with file_lock(path):
        if not path.exists():
            import sys

            print(f"zorvata: building the synthetic demo market at {path} (once; about half a minute)",
                  file=sys.stderr, flush=True)
            _log.info("building the demo market in %s (once; later uses read the file)", path)
            with _elapsed_bar("demo market"):
                build_demo(path)
    return path


@contextlib.contextmanager
def _elapsed_bar(desc: str):
    """A bar on stderr counting the seconds of a step that reports no progress of its own (shown once it has
    lasted two seconds, and only on a terminal)."""
    import threading

    from tqdm import tqdm

    bar = tqdm(desc=desc, bar_format="{desc}: {elapsed}", delay=2.0, disable=None, leave=False)
    done = threading.Event()

    def tick() -> None:
        while not done.wait(0.5):
            bar.refresh()

    ticker = threading.Thread(target=tick, name="zorvata-demo-bar", daemon=True)
    ticker.start()
    try:
        yield
    finally:
        done.set()
        ticker.join()
        bar.close()


def _sessions(first: pd.Timestamp, last: pd.Timestamp) -> pd.DatetimeIndex:
    import warnings

    with warnings.catch_warnings():
        # the calendar package trips pandas deprecations of its own; they are not ours to act on
        warnings.simplefilter("ignore")
        import exchange_calendars as xc

        s = xc.get_calendar("XSHG", start=min(first, pd.Timestamp("2006-12-08"))).sessions
    return s[(s >= first) & (s <= last)]


def _standardise(x: np.ndarray, universe: np.ndarray, cap: np.ndarray) -> np.ndarray:
    """Winsorise at 3 sd, then cap-weighted mean 0 and unit equal-weighted sd over `universe`; NaN -> 0."""
    u = universe & np.isfinite(x)
    if u.sum() < 3:
        return np.zeros_like(x)
    m, s = x[u].mean(), x[u].std()
    if s > 0:
        x = np.clip(x, m - 3 * s, m + 3 * s)
    w = cap[u] / cap[u].sum()
    x = x - (w * x[u]).sum()
    s = x[u].std()
    x = x / s if s > 0 else x * 0.0
    return np.where(np.isfinite(x), x, 0.0)


def _ar1(rng, shape_steps: int, n: int, rho: float, start=None) -> np.ndarray:
    out = np.empty((shape_steps, n))
    out[0] = rng.standard_normal(n) if start is None else start
    shocks = rng.standard_normal((shape_steps, n)) * np.sqrt(1 - rho * rho)
    for k in range(1, shape_steps):
        out[k] = rho * out[k - 1] + shocks[k]
    return out


def _log_regime(rng, n: int, phi=0.98, sigma=0.14) -> np.ndarray:
    """A stationary log-AR(1) path h; exp(h - var/2) has mean 1."""
    h = np.empty(n)
    var = sigma * sigma / (1 - phi * phi)
    h[0] = rng.standard_normal() * np.sqrt(var)
    e = rng.standard_normal(n) * sigma
    for k in range(1, n):
        h[k] = phi * h[k - 1] + e[k]
    return h - var / 2


def _st_periods(rng, listed_idx: np.ndarray, delist_idx: np.ndarray, t0: int, T: int):
    """ST periods as [start, end) session indices per stock (start = T: none; end >= T: still current)."""
    N = len(listed_idx)
    first = np.maximum(listed_idx, 0) + 120  # never in a listing's first half year
    start = np.full(N, T)
    end = np.full(N, T)
    some = rng.random(N) < _ST_SHARE
    at = rng.integers(t0, T + (T - t0) // 3, N)  # some would start after the end: fewer than the share
    ok = some & (at >= first) & (at < np.minimum(delist_idx, T))
    start[ok] = at[ok]
    end[ok] = at[ok] + rng.geometric(1 / _ST_DAYS, N)[ok]
    # most stocks that delist spend their last months under special treatment
    dying = (delist_idx < T) & (rng.random(N) < _ST_BEFORE_DELISTING)
    at = delist_idx - 20 - rng.geometric(1 / 120, N)
    dying &= at >= first
    start[dying], end[dying] = at[dying], delist_idx[dying]
    end = np.minimum(end, np.where(delist_idx < T, delist_idx, T))
    return start, end


def _ticks(x: np.ndarray) -> np.ndarray:
    """Prices rounded half up to the tick of 0.01 (a hair of slack: 12.7 x 1.05 is 13.335 to the exchange,
    a little less in binary)."""
    return np.floor(x * 100.0 + 0.5 + 1e-6) / 100.0


def _observe(rng, cap: np.ndarray, traded: np.ndarray, listed_idx: np.ndarray, lim: np.ndarray) -> dict:
    """The exchange's view of the latent cap paths `cap` (sessions x stocks): share counts (with bonus issues),
    closes in ticks held within each day's limits from the previous close, opens, average prices, limit flags
    and the adjustment factor.

    A suspended day carries the last close; the day a stock trades again, its close moves at most the limit
    towards the latent price, and on the following days too until it has caught up (consecutive limit days
    after a long suspension). Otherwise the latent path already lies within the limits (it is clipped to them)
    and the close is its price rounded to the tick; a latent move that reached the limit closes at the
    limit price.
    """
    T, N = cap.shape
    cols = np.arange(N)
    at0 = np.maximum(listed_idx, 0)
    # shares: a first price per stock, high enough that the price never falls below _PRICE_FLOOR along the
    # stock's path (a tick is then at most 0.4% of the price: rounding leaves the returns as they were)
    low = np.minimum.accumulate(cap[::-1], axis=0)[::-1]  # the lowest cap from each day on
    price0 = np.clip(np.exp(np.log(_PRICE_MEDIAN) + 0.8 * rng.standard_normal(N)), 2.0, 400.0)
    price0 = np.maximum(price0, _PRICE_FLOOR * cap[at0, cols] / low[at0, cols])
    shares0 = cap[at0, cols] / price0
    # bonus issues on some traded days after the listing, by stocks whose price stays above the floor after it
    n_ev = rng.poisson(_BONUS_RATE * T / 252, N)
    ev_i = np.repeat(cols, n_ev)
    ev_t = rng.integers(0, T, len(ev_i))
    ev_r = rng.choice(_BONUS_RATIOS, len(ev_i))
    keep = traded[ev_t, ev_i] & (ev_t > at0[ev_i])
    ev_i, ev_t, ev_r = ev_i[keep], ev_t[keep], ev_r[keep]
    growth = np.ones((T, N))
    for k in np.argsort(ev_t, kind="stable"):
        i, t = ev_i[k], ev_t[k]
        held = np.prod(growth[:t, i])
        if low[t, i] / (shares0[i] * held * (1.0 + ev_r[k])) >= _PRICE_FLOOR:
            growth[t, i] = 1.0 + ev_r[k]
    del low
    adj = np.cumprod(growth, axis=0)
    del growth
    shares = shares0[None, :] * adj
    close = np.empty((T, N))
    up_hit = np.zeros((T, N), dtype=bool)
    down_hit = np.zeros((T, N), dtype=bool)
    close[0] = np.maximum(_ticks(cap[0] / shares[0]), 0.01)
    for t in range(1, T):
        ref = close[t - 1] * shares[t - 1] / shares[t]  # the previous close ex the day's bonus shares
        lt = lim[t]
        limited = np.isfinite(lt)
        px = cap[t] / shares[t]
        up = np.where(limited, _ticks(ref * (1.0 + lt)), np.inf)
        down = np.where(limited, np.maximum(_ticks(ref * (1.0 - lt)), 0.01), 0.0)
        # half a tick of slack: a latent move clipped at the limit rounds to the limit price
        c = np.maximum(_ticks(px), 0.01)
        c = np.where(px >= ref * (1.0 + lt) - 0.007, up, np.where(px <= ref * (1.0 - lt) + 0.007, down, c))
        c = np.clip(c, down, up)
        trades = traded[t] | (t < listed_idx)  # before the listing the latent path counts
        close[t] = np.where(trades, c, ref)
        up_hit[t] = traded[t] & (c >= up)
        down_hit[t] = traded[t] & (c <= down)
    prev = np.vstack([close[:1], close[:-1] * shares[:-1] / shares[1:]])
    # the open: part of the day's move plus a little noise, within the limits; a third of the limit-up days
    # open at the limit price; the listing day opens below its close
    fin = np.isfinite(lim)
    hi = np.where(fin, _ticks(prev * (1.0 + np.where(fin, lim, 0.0))), np.inf)
    lo = np.where(fin, np.maximum(_ticks(prev * (1.0 - np.where(fin, lim, 0.0))), 0.01), 0.01)
    open_ = _ticks(prev * np.exp(rng.uniform(0.0, 0.6, (T, N)) * np.log(close / prev)
                                 + 0.004 * rng.standard_normal((T, N))))
    open_ = np.clip(np.maximum(open_, 0.01), lo, hi)
    del lo, hi, prev
    open_ = np.where(up_hit & (rng.random((T, N)) < 1 / 3), close, open_)
    lst = listed_idx >= 0
    open_[listed_idx[lst], cols[lst]] = np.maximum(
        _ticks(close[listed_idx[lst], cols[lst]] * np.exp(-np.abs(0.1 * rng.standard_normal(int(lst.sum()))))),
        0.01)
    a, b = np.minimum(open_, close), np.maximum(open_, close)
    vwap = a + (b - a) * rng.uniform(0.3, 0.7, (T, N))
    return {"shares": shares, "close": close, "open": open_, "vwap": vwap, "adj": adj,
            "limit_up": up_hit, "limit_down": down_hit}


def build_demo(path: str | os.PathLike, *, n_stocks: int = 3000, start="2015-01-05", end="2026-11-30",
               seed: int = DEFAULT_SEED, n_industries: int = 31) -> Path:
    """Generate the demo market and write it to `path` (replaced atomically). Returns the path."""
    if n_stocks < 20:
        raise ValueError("the demo market needs at least 20 stocks")
    if not 2 <= n_industries <= len(_SW_NAMES):
        raise ValueError(f"n_industries must lie in [2, {len(_SW_NAMES)}]")
    rng = np.random.default_rng(seed)
    start, end = pd.Timestamp(start).normalize(), pd.Timestamp(end).normalize()
    cal_last = pd.Timestamp(f"{end.year}-12-31")
    all_sessions = exchange_sessions(start - pd.Timedelta(days=400), cal_last)
    if len(all_sessions) == 0 or all_sessions[-1] < end:
        raise ValueError(f"the exchange calendar does not reach {end.date()}")
    t0 = int(all_sessions.searchsorted(start))
    burn = min(t0, 250)
    sess = all_sessions[t0 - burn: all_sessions.searchsorted(end, side="right")]  # simulated sessions
    cal_dates = all_sessions[t0:]  # stored calendar
    t0 = burn
    T, N, J = len(sess), n_stocks, n_industries
    if T - t0 < 60:
        raise ValueError("the demo market needs at least 60 trading days")
    sess_d = sess.values.astype("datetime64[D]")

    # ---- instruments: listing, delisting, industries
    pre = rng.random(N) < 0.5
    bd0 = np.datetime64("1993-01-04")
    n_bd = int(np.busday_count(bd0, sess_d[0]))
    listed = np.where(pre, np.busday_offset(bd0, rng.integers(0, max(n_bd, 1), N), roll="forward"),
                      sess_d[rng.integers(0, max(T - 20, 1), N)])
    listed_idx = np.where(listed < sess_d[0], -1, np.searchsorted(sess_d, listed))
    delist_idx = np.full(N, T + 1)
    cand = np.flatnonzero(listed_idx + 250 < T - 1)
    n_del = int(round(0.05 * N))
    if len(cand) and n_del:
        chosen = rng.choice(cand, size=min(n_del, len(cand)), replace=False)
        lo = np.maximum(listed_idx[chosen] + 250, t0 + 1)
        ok = lo < T - 1
        chosen, lo = chosen[ok], lo[ok]
        delist_idx[chosen] = lo + (rng.random(len(chosen)) * (T - 1 - lo)).astype(int)
    ids, exch = allocate_codes(rng, listed, star_share=0.5, sme_share=None)
    ind_p = rng.gamma(4.0, size=J)
    industry0 = rng.choice(J, size=N, p=ind_p / ind_p.sum())
    n_ci = max(2, int(round(J * 0.9)))
    ci_map = (np.arange(J) * n_ci) // J
    ci_own = np.where(rng.random(N) < 0.1, rng.integers(0, n_ci, N), -1)  # classified apart from sw
    sw_codes = np.array([f"SW{j + 1:02d}" for j in range(J)])
    ci_codes = np.array([f"CI{j + 1:02d}" for j in range(n_ci)])

    # ---- suspensions (pre-drawn; never on the listing day)
    susp = np.zeros((T, N), dtype=bool)
    n_ev = rng.poisson(0.0006 * T, N)
    ev_stock = np.repeat(np.arange(N), n_ev)
    ev_start = rng.integers(0, T, len(ev_stock))
    ev_len = np.where(rng.random(len(ev_stock)) < 0.1, rng.geometric(1 / 40, len(ev_stock)),
                      rng.geometric(1 / 4, len(ev_stock)))
    for i, s0, ln in zip(ev_stock, ev_start, ev_len):
        susp[s0:s0 + ln, i] = True
    tix = np.arange(T)[:, None]
    live = (tix >= listed_idx[None, :]) & (tix < delist_idx[None, :])
    susp &= live & (tix != listed_idx[None, :])
    traded = live & ~susp
    # index of the last traded session up to t (-1: none yet; before listing the latent path counts)
    pre_list = tix < listed_idx[None, :]
    last_idx = np.maximum.accumulate(np.where(traded | pre_list, tix, -1), axis=0)

    # ---- latent slow-moving characteristics (monthly)
    month_key = sess.year * 12 + sess.month
    m_start = np.flatnonzero(np.r_[True, month_key[1:] != month_key[:-1]])
    M = len(m_start)

    # ---- reclassifications: a few stocks move to another industry from a month's first session on
    rc_rng = np.random.default_rng(seed + 3)
    first_month = np.searchsorted(m_start, np.maximum(listed_idx, t0), side="right")  # after listing
    movers = np.flatnonzero((rc_rng.random(N) < _RECLASS_SHARE) & (first_month < M - 1) & (delist_idx > T))
    reclass_month = np.full(N, M)
    reclass_month[movers] = rc_rng.integers(first_month[movers], M, len(movers))
    industry1 = industry0.copy()
    industry1[movers] = (industry0[movers] + rc_rng.integers(1, J, len(movers))) % J
    industry = industry1  # today's industry
    # persistence per month: the characteristics a risk model estimates over one to five years of data
    # (beta, residual volatility, liquidity, sales growth) drift slowly enough to be recoverable
    rho = {"beta": 0.99, "residual_volatility": 0.99, "liquidity": 0.99, "growth": 0.995,
           "book_to_price": 0.97, "earnings_yield": 0.97, "leverage": 0.97}
    z = {k: _ar1(rng, M, N, r) for k, r in rho.items()}
    float_ratio = rng.uniform(0.25, 1.0, N)

    # ---- special treatment (ST) periods, drawn apart so that the other draws stay as they were
    st_start, st_end = _st_periods(np.random.default_rng(seed + 5), listed_idx, delist_idx, t0, T)
    st = (tix >= st_start[None, :]) & (tix < st_end[None, :])

    # ---- daily price limits per board
    board = np.array([i[:3] for i in ids.astype(str)])
    wide_always = board == "688"
    wide_later = board == "300"

    def limits(a: int, b: int) -> np.ndarray:
        wide = wide_always[None, :] | (wide_later[None, :] & (sess_d[a:b, None] >= _GEM_WIDE_FROM))
        lim = np.where(wide, _LIMIT_WIDE, np.where(st[a:b], _LIMIT_ST, _LIMIT_MAIN))
        fresh = (tix[a:b] >= listed_idx[None, :]) & (tix[a:b] < listed_idx[None, :] + _NO_LIMIT_DAYS)
        return np.where(fresh, np.inf, lim)

    # ---- factor returns and regimes (daily)
    K = 1 + J + len(STYLES)
    A = np.zeros((K, K))
    A[0, 0] = _COUNTRY_VOL
    grp = rng.integers(0, 3, J)  # three loose sector groups correlate the industries
    ind_vol = rng.uniform(0.07, 0.16, J) / np.sqrt(252)
    for j in range(J):
        A[1 + j, 1 + j] = ind_vol[j] * np.sqrt(1 - 0.35 - 0.05)
    n_grp = 3
    G = np.zeros((K, n_grp))
    for j in range(J):
        G[1 + j, grp[j]] = ind_vol[j] * np.sqrt(0.35)
        A[1 + j, 0] = ind_vol[j] * np.sqrt(0.05)
    s0 = 1 + J
    for k, vol in enumerate(_STYLE_VOL):
        A[s0 + k, s0 + k] = vol
    ib = s0 + STYLES.index("beta")
    A[ib, 0], A[ib, ib] = _STYLE_VOL[1] * 0.6, _STYLE_VOL[1] * 0.8  # the beta factor rides the market
    isz, inls = s0 + STYLES.index("size"), s0 + STYLES.index("non_linear_size")
    A[inls, isz] = _STYLE_VOL[4] * 0.3
    A[inls, inls] = _STYLE_VOL[4] * np.sqrt(1 - 0.09)
    B = np.hstack([A, G])  # f = B z, z ~ N(0, I)
    sigma_base = B @ B.T
    mean = np.zeros(K)
    mean[0] = _COUNTRY_MEAN
    mean[isz] = _SIZE_MEAN
    h_f = _log_regime(rng, T)
    h_s = 0.6 * _log_regime(rng, T) + 0.8 * h_f
    v_f = np.exp(h_f)
    v_f /= v_f.mean()
    v_s = np.exp(h_s)
    v_s /= v_s.mean()
    # the crash: a stretch of far higher volatility, the market falling first and recovering partly after
    crash = np.zeros(T, dtype=bool)
    c0 = t0 + int(_CRASH_AT * (T - t0))
    crash[c0:c0 + _CRASH_DAYS] = True
    v_f[crash] *= _CRASH_VOL
    v_s[crash] *= _CRASH_SPEC_VOL
    mean_t = np.tile(mean, (T, 1))
    half = c0 + _CRASH_DAYS // 2
    mean_t[c0:half, 0] += _CRASH_DRIFT[0]
    mean_t[half:c0 + _CRASH_DAYS, 0] += _CRASH_DRIFT[1]
    zf = rng.standard_normal((T, B.shape[1]))
    # a common chi-square mixing makes the factor returns multivariate Student-t with unit variance
    tail = np.sqrt((_FACTOR_TAIL_DOF - 2.0) / rng.chisquare(_FACTOR_TAIL_DOF, T))
    f_raw = (zf @ B.T) * (np.sqrt(v_f) * tail)[:, None] + mean_t
    # industry returns are projected onto cap-weighted sum zero below, month by month

    # ---- fundamentals state
    cap = np.exp(rng.normal(np.log(6e9), 1.0, N))
    sales = cap * np.exp(rng.normal(-0.7, 0.5, N))
    known = {k: np.full(N, np.nan) for k in ("book_value", "earnings", "total_debt")}
    known_rd = np.full(N, np.datetime64("1900-01-01"))  # report date of the values in `known`
    fund_rows = []  # (report_date, announce_date array, values dict, announced mask)
    pending = []
    rs_rng = np.random.default_rng(seed + 4)
    never = np.datetime64("2262-01-01")

    def make_report(qend: np.datetime64, capq: np.ndarray, m: int):
        nonlocal sales
        q = int(str(qend)[5:7]) // 3
        lo, hi = {1: (10, 30), 2: (15, 62), 3: (10, 31), 4: (60, 119)}[q]
        ann = qend + rng.integers(lo, hi + 1, N).astype("timedelta64[D]")
        g = 0.08 + 0.12 * z["growth"][m]
        sales = sales * np.exp(g / 4 + 0.03 * rng.standard_normal(N))
        book = capq * np.exp(-0.9 + 0.5 * z["book_to_price"][m] + 0.05 * rng.standard_normal(N))
        vals = {"book_value": book,
                "earnings": capq * (0.04 + 0.035 * z["earnings_yield"][m] + 0.004 * rng.standard_normal(N)),
                "sales": sales.copy(),
                "total_debt": book * np.exp(-0.5 + 0.6 * z["leverage"][m] + 0.05 * rng.standard_normal(N))}
        rep = (qend, ann, vals)
        fund_rows.append(rep + (np.ones(N, dtype=bool),))
        pending.append(rep)
        # restatements: a second version of the report, months later, sales revised most
        again = rs_rng.random(N) < _RESTATE_SHARE
        if again.any():
            ann2 = ann + rs_rng.integers(30, 250, N).astype("timedelta64[D]")
            rev = {k: v * np.exp((0.25 if k == "sales" else 0.05) * rs_rng.standard_normal(N))
                   for k, v in vals.items()}
            fund_rows.append((qend, ann2, rev, again))
            pending.append((qend, np.where(again, ann2, never), rev))

    def apply_announced(asof: np.datetime64):
        nonlocal known_rd
        keep = []
        for qend, ann, vals in pending:
            hit = ann <= asof
            newer = hit & (qend >= known_rd)  # a newer report, or a restatement of the latest
            known_rd = np.where(newer, qend, known_rd)
            for k in known:
                known[k] = np.where(newer, vals[k], known[k])
            if not hit.all():
                keep.append((qend, np.where(hit, never, ann), vals))
        pending[:] = keep

    # five years of history before the simulation starts
    first = sess_d[0]
    qends = pd.date_range(pd.Timestamp(first) - pd.DateOffset(years=5), pd.Timestamp(sess_d[-1]), freq="QE")
    qends = qends.values.astype("datetime64[D]")
    sales = sales * np.exp(-(0.08 + 0.12 * z["growth"][0]) * 5)
    for q in qends[qends < first]:
        make_report(q, cap, 0)
    apply_announced(first - np.timedelta64(1, "D"))
    q_next = int(np.searchsorted(qends, first))

    # ---- month-by-month simulation
    CAP = np.empty((T, N))
    X_truth, F_truth, cov_truth = [], np.empty((T, K)), []
    mom_lp = np.zeros((T, N))  # log of the observed price (market cap) path
    cap_obs_prev = cap.copy()
    for m in range(M):
        a, b = m_start[m], (m_start[m + 1] if m + 1 < M else T)
        industry = np.where(m >= reclass_month, industry1, industry0)
        asof = sess_d[a - 1] if a > 0 else first - np.timedelta64(1, "D")
        apply_announced(asof)
        universe = live[a] & (listed_idx < a)
        capw = np.where(np.isfinite(cap_obs_prev) & (cap_obs_prev > 0), cap_obs_prev, 1.0)
        size = _standardise(np.log(capw), universe, capw)
        if a >= 42:
            lo = np.maximum(a - 252, np.maximum(listed_idx, 0))
            hi = a - 21
            raw = np.where(hi - lo >= 21, mom_lp[hi - 1, np.arange(N)] - mom_lp[np.minimum(lo, hi - 1),
                                                                                 np.arange(N)], np.nan)
        else:
            raw = np.full(N, np.nan)
        cube = size ** 3
        w = np.where(universe, capw, 0.0)
        Xr = np.c_[np.ones(N), size]
        coef = np.linalg.lstsq(Xr[universe] * np.sqrt(w[universe])[:, None],
                               cube[universe] * np.sqrt(w[universe]), rcond=None)[0]
        styles = {
            "size": size,
            "beta": _standardise(z["beta"][m].copy(), universe, capw),
            "momentum": _standardise(raw, universe, capw),
            "residual_volatility": _standardise(z["residual_volatility"][m].copy(), universe, capw),
            "non_linear_size": _standardise(cube - Xr @ coef, universe, capw),
            "book_to_price": _standardise(known["book_value"] / capw, universe, capw),
            "liquidity": _standardise(z["liquidity"][m].copy(), universe, capw),
            "earnings_yield": _standardise(known["earnings"] / capw, universe, capw),
            "growth": _standardise(z["growth"][m].copy(), universe, capw),
            "leverage": _standardise(known["total_debt"] / known["book_value"], universe, capw),
        }
        X = np.zeros((N, K))
        X[:, 0] = 1.0
        X[np.arange(N), 1 + industry] = 1.0
        for k, name in enumerate(STYLES):
            X[:, s0 + k] = styles[name]
        # industry factor returns: cap-weighted sum zero (the country factor carries the common part)
        ind_w = np.bincount(industry[universe], weights=capw[universe], minlength=J)
        ind_w = ind_w / ind_w.sum()
        P = np.eye(K)
        P[1:1 + J, 1:1 + J] -= np.outer(np.ones(J), ind_w)
        f = f_raw[a:b] @ P.T
        F_truth[a:b] = f
        specific_vol = 0.017 * np.exp(0.3 * styles["residual_volatility"])
        eps = rng.standard_t(_SPEC_TAIL_DOF, size=(b - a, N)) / np.sqrt(_SPEC_TAIL_DOF / (_SPEC_TAIL_DOF - 2))
        r = f @ X.T + eps * specific_vol[None, :] * np.sqrt(v_s[a:b])[:, None]
        lim = limits(a, b)
        r = np.clip(r, np.maximum(-lim, -0.5), np.minimum(lim, 1.0))
        CAP[a:b] = cap[None, :] * np.cumprod(1 + r, axis=0)
        cap = CAP[b - 1].copy()
        # observed (last traded) caps and log prices for the next month's descriptors
        rows = last_idx[a:b]
        src = np.where(rows >= 0, rows, 0)
        cap_obs = CAP[src, np.arange(N)[None, :]]
        mom_lp[a:b] = np.log(cap_obs)
        cap_obs_prev = cap_obs[-1]
        if b > t0:
            X_truth.append((max(a, t0), universe.copy(), {k: v.copy() for k, v in styles.items()}, specific_vol,
                            industry.copy()))
            cov_truth.append((max(a, t0), P @ sigma_base @ P.T))
        # quarterly reports dated at quarter ends inside this month
        while q_next < len(qends) and qends[q_next] <= sess_d[b - 1]:
            qd = qends[q_next]
            qi = int(np.searchsorted(sess_d, qd, side="right")) - 1
            make_report(qd, CAP[max(qi, 0)], m)
            q_next += 1

    industry = industry1

    # ---- observed prices (in ticks, within the limits), returns, caps, turnover, bars
    bars = _observe(np.random.default_rng(seed + 6), CAP, traded, listed_idx, limits(0, T))
    cap_obs_all = bars["close"] * bars["shares"]  # at the last traded price on a suspended day
    prev_obs = np.vstack([cap_obs_all[:1], cap_obs_all[:-1]])
    ret_obs = cap_obs_all / prev_obs - 1.0
    has_ret = traded & (tix > listed_idx[None, :]) & (tix > 0)
    turnover = np.exp(np.log(0.012) + 0.6 * np.repeat(z["liquidity"], np.diff(np.r_[m_start, T]), axis=0)
                      + 0.25 * np.log(v_f)[:, None] + 0.35 * rng.standard_normal((T, N)))
    turnover = np.where(traded, turnover, 0.0)
    float_cap_all = cap_obs_all * float_ratio[None, :]
    # traded value = turnover x float cap, in whole lots at the day's average price
    volume = np.where(traded, np.maximum(np.round(turnover * float_cap_all / bars["vwap"] / 100.0), 1.0) * 100.0,
                      0.0)
    value = volume * bars["vwap"]
    turnover = np.where(traded, value / float_cap_all, 0.0)

    # ---- indices: constituents reselected each June and December, cap weights set monthly
    periods = [(max(m_start[m], t0), m_start[m + 1] if m + 1 < M else T) for m in range(M)
               if (m_start[m + 1] if m + 1 < M else T) > t0]
    n_large = int(min(300, max(5, N // 10)))
    n_mid = int(min(500, max(5, N // 6)))
    idx_ret = {k: np.full(T, np.nan) for k in INDEX_IDS}
    idx_weight_rows = []
    members = {}
    for p_no, (a, b) in enumerate(periods):
        eligible = live[a] & (listed_idx <= a - 63)
        fc = float_cap_all[a - 1]
        if p_no == 0 or sess[a].month in (6, 12):
            avg_cap = cap_obs_all[max(a - 126, 0):a].mean(axis=0)
            order = np.argsort(-np.where(eligible, avg_cap, -np.inf), kind="stable")[:eligible.sum()]
            members["000300.XSHG"] = order[:n_large]
            members["000905.XSHG"] = order[n_large:n_large + n_mid]
        members["000985.XSHG"] = np.flatnonzero(eligible)
        for iid in INDEX_IDS:
            mem = members[iid][live[a, members[iid]]]
            w = fc[mem] / fc[mem].sum()
            idx_weight_rows.append((iid, sess_d[a], mem, w))
            rel = cap_obs_all[a - 1:b, mem] / cap_obs_all[a - 1, mem][None, :]
            level = rel @ w
            idx_ret[iid][a:b] = level[1:] / level[:-1] - 1

    # ---- assemble the stored tables
    tD = slice(t0, T)
    dates = sess_d[tD]
    Td = len(dates)
    other_rets = {k: v[tD] for k, v in idx_ret.items()}
    for eid, _, _, tracks, noise, drift in _ETF_META:
        base = other_rets[tracks] if tracks else np.zeros(Td)
        other_rets[eid] = base + drift + noise * rng.standard_normal(Td)
    all_ids = np.r_[ids, np.array(list(other_rets), dtype=object)]
    order = np.argsort(all_ids.astype(str), kind="stable")
    all_ids = all_ids[order]
    rate_mat = np.c_[ret_obs[tD], np.column_stack(list(other_rets.values()))][:, order]
    mask_mat = np.c_[has_ret[tD], np.ones((Td, len(other_rets)), dtype=bool)][:, order]
    dict_ids = pa.array(all_ids.astype(str))
    t_idx, j_idx = np.nonzero(mask_mat)
    price = pa.table({"date": pa.array(dates[t_idx]),
                      "order_book_id": pa.DictionaryArray.from_arrays(pa.array(j_idx.astype(np.int32)),
                                                                      dict_ids).dictionary_decode(),
                      "rate": pa.array(rate_mat[t_idx, j_idx])})
    sorder = np.argsort(ids.astype(str), kind="stable")
    sid_sorted = pa.array(ids[sorder].astype(str))
    live_d = live[tD][:, sorder]
    t_idx, j_idx = np.nonzero(live_d)
    jj = sorder[j_idx]
    daily = pa.table({"date": pa.array(dates[t_idx]),
                      "order_book_id": pa.DictionaryArray.from_arrays(pa.array(j_idx.astype(np.int32)),
                                                                      sid_sorted).dictionary_decode(),
                      "market_cap": pa.array(cap_obs_all[tD][t_idx, jj]),
                      "float_market_cap": pa.array(float_cap_all[tD][t_idx, jj]),
                      "turnover": pa.array(turnover[tD][t_idx, jj])})
    t_idx, j_idx = np.nonzero(traded[tD][:, sorder])
    jj = sorder[j_idx]
    daily_bars = pa.table({"date": pa.array(dates[t_idx]),
                           "order_book_id": pa.DictionaryArray.from_arrays(pa.array(j_idx.astype(np.int32)),
                                                                           sid_sorted).dictionary_decode(),
                           "open": pa.array(bars["open"][tD][t_idx, jj]),
                           "close": pa.array(bars["close"][tD][t_idx, jj]),
                           "volume": pa.array(volume[tD][t_idx, jj]),
                           "value": pa.array(value[tD][t_idx, jj]),
                           "adj_factor": pa.array(bars["adj"][tD][t_idx, jj])})
    flagged = live[tD] & (susp[tD] | bars["limit_up"][tD] | bars["limit_down"][tD])
    t_idx, j_idx = np.nonzero(flagged[:, sorder])
    jj = sorder[j_idx]
    flags = pd.DataFrame({"date": dates[t_idx], "order_book_id": ids[jj].astype(str),
                          "suspended": susp[tD][t_idx, jj], "limit_up": bars["limit_up"][tD][t_idx, jj],
                          "limit_down": bars["limit_down"][tD][t_idx, jj]})
    has_st = st_start < T
    st_status = pd.DataFrame({"order_book_id": ids[has_st].astype(str), "start_date": sess_d[st_start[has_st]],
                              "end_date": np.where(st_end[has_st] < T, sess_d[np.minimum(st_end[has_st], T - 1)],
                                                   np.datetime64("NaT", "D"))})

    last_cal = cal_dates.values.astype("datetime64[D]")
    de_listed = np.where(delist_idx < T, sess_d[np.minimum(delist_idx, T - 1)], np.datetime64("NaT", "D"))
    rng_names = np.random.default_rng(seed + 1)
    symbols = [_PREFIX[a] + _PREFIX[b] + _SUFFIX[industry0[i] % len(_SUFFIX)]
               for i, (a, b) in enumerate(rng_names.integers(0, len(_PREFIX), (N, 2)))]
    inst = pd.DataFrame({"order_book_id": ids.astype(str), "symbol": symbols, "type": "CS",
                         "listed_date": listed, "de_listed_date": de_listed, "exchange": exch,
                         "industry_sw": sw_codes[industry1],
                         "industry_citics": ci_codes[np.where(ci_own >= 0, ci_own, ci_map[industry1])]})
    others = [(i, s, "INDX", d, i[-4:]) for i, s, d in _INDEX_META] + \
             [(i, s, "ETF", d, i[-4:]) for i, s, d, *_ in _ETF_META]
    inst = pd.concat([inst, pd.DataFrame({
        "order_book_id": [o[0] for o in others], "symbol": [o[1] for o in others],
        "type": [o[2] for o in others], "listed_date": pd.to_datetime([o[3] for o in others]).values,
        "de_listed_date": np.datetime64("NaT", "D"), "exchange": [o[4] for o in others],
        "industry_sw": None, "industry_citics": None})], ignore_index=True)
    industries = pd.DataFrame({"source": ["sw"] * J + ["citics"] * n_ci,
                               "code": np.r_[sw_codes, ci_codes],
                               "name": _SW_NAMES[:J] + [f"中信{_SW_NAMES[(j * J) // n_ci]}"
                                                        for j in range(n_ci)]})

    # industry history under the three schemes; "sw_split_financials" splits the non-bank financials
    # (sw code SW02) into securities, insurance and diversified. A reclassified stock has two periods.
    nbf = _SW_NAMES.index("非银金融")
    split_codes = np.array(["SWF1", "SWF2", "SWF3"])
    part = np.random.default_rng(seed + 2).integers(0, 3, N)
    stock_ids = ids.astype(str)
    moved = reclass_month < M
    change = np.where(moved, sess_d[m_start[np.minimum(reclass_month, M - 1)]], np.datetime64("NaT", "D"))

    def scheme_codes(ind: np.ndarray) -> dict[str, np.ndarray]:
        split = np.where(ind == nbf, split_codes[part], sw_codes[ind]) if nbf < J else sw_codes[ind]
        return {"sw": sw_codes[ind], "citics": ci_codes[np.where(ci_own >= 0, ci_own, ci_map[ind])],
                "sw_split_financials": split}

    before, after = scheme_codes(industry0), scheme_codes(industry1)
    history = pd.concat([pd.DataFrame({"source": src, "order_book_id": stock_ids, "code": before[src],
                                       "start_date": listed, "end_date": change})
                         for src in before]
                        + [pd.DataFrame({"source": src, "order_book_id": stock_ids[moved],
                                         "code": after[src][moved], "start_date": change[moved],
                                         "end_date": np.datetime64("NaT", "D")}) for src in after],
                        ignore_index=True)
    split_names = [(c, n) for c, n in zip(sw_codes, _SW_NAMES[:J]) if n != "非银金融"]
    if nbf < J:
        split_names += [("SWF1", "证券"), ("SWF2", "保险"), ("SWF3", "多元金融")]
    industries = pd.concat([industries, pd.DataFrame({
        "source": "sw_split_financials", "code": [c for c, _ in split_names],
        "name": [n for _, n in split_names]})], ignore_index=True)

    iw = pd.DataFrame({"index_id": np.concatenate([np.repeat(r[0], len(r[2])) for r in idx_weight_rows]),
                       "date": np.concatenate([np.repeat(r[1], len(r[2])) for r in idx_weight_rows]),
                       "order_book_id": np.concatenate([ids[r[2]] for r in idx_weight_rows]).astype(str),
                       "weight": np.concatenate([r[3] for r in idx_weight_rows])})

    fr, restated = [], []
    for qend, ann, vals, announced in fund_rows:
        keep = announced & (ann <= dates[-1]) & (qend >= listed - np.timedelta64(365, "D")) & (ann < np.where(
            delist_idx < T, sess_d[np.minimum(delist_idx, T - 1)], never))
        if not announced.all() and keep.any():
            restated.append(pd.DataFrame({"date": ann[keep], "order_book_id": ids[keep].astype(str),
                                          "event": "restatement", "detail": str(qend)}))
        if keep.any():
            fr.append(pd.DataFrame({"order_book_id": ids[keep].astype(str), "report_date": qend,
                                    "announce_date": ann[keep],
                                    **{k: v[keep] for k, v in vals.items()}}))
    fundamentals = pd.concat(fr, ignore_index=True)

    factor_names = ["country"] + list(sw_codes) + STYLES
    truth_f = pd.DataFrame({"date": np.repeat(dates, K), "factor": np.tile(factor_names, Td),
                            "value": F_truth[tD].ravel()})
    truth_cov = pd.concat([pd.DataFrame({"date": sess_d[a], "factor_1": np.repeat(factor_names, K),
                                         "factor_2": np.tile(factor_names, K), "cov": c.ravel()})
                           for a, c in cov_truth], ignore_index=True)
    truth_regime = pd.DataFrame({"date": dates, "factor_var_mult": v_f[tD], "specific_var_mult": v_s[tD],
                                 "crash": crash[tD]})
    events = pd.concat([pd.DataFrame({"date": change[moved], "order_book_id": stock_ids[moved],
                                      "event": "reclassification",
                                      "detail": [f"{a} -> {b}" for a, b in zip(sw_codes[industry0[moved]],
                                                                               sw_codes[industry1[moved]])]}),
                        *restated], ignore_index=True).sort_values(["date", "order_book_id"], kind="stable")
    tx = []
    for a, universe, styles, specific_vol, ind_m in X_truth:
        u = np.flatnonzero(universe)
        tx.append(pd.DataFrame({"date": sess_d[a], "order_book_id": ids[u].astype(str),
                                "industry": sw_codes[ind_m[u]],
                                **{k: styles[k][u] for k in STYLES}, "specific_vol": specific_vol[u]}))
    truth_x = pd.concat(tx, ignore_index=True).sort_values(["date", "order_book_id"], kind="stable")

    meta = {"label": "synthetic demo market (generated, not real data)", "generator": "zorvata.demo",
            "demo_version": DEMO_VERSION, "seed": seed, "n_stocks": N, "n_industries": J,
            "data_start": str(dates[0]), "data_end": str(dates[-1])}
    return write_database(
        path,
        {"instruments": inst, "industries": industries, "industry_history": history,
         "trading_dates": pd.DataFrame({"date": last_cal}), "price_change_rate": price,
         "index_weights": iw, "stock_daily": daily, "fundamentals": fundamentals, "daily_bars": daily_bars,
         "daily_flags": flags, "st_status": st_status},
        meta,
        extra_tables={"demo_truth_factor_returns": truth_f, "demo_truth_factor_cov": truth_cov,
                      "demo_truth_regime": truth_regime, "demo_truth_exposures": truth_x,
                      "demo_truth_events": events},
        presorted=("price_change_rate", "stock_daily", "daily_bars", "daily_flags"))



class TruthForecast(NamedTuple):
    """The generator's own forecast of one trading day's returns (what a perfect risk model would say).

    Returns of the day are r = X f + s e with X the exposures of the month the day falls in, f with
    covariance ``factor_cov`` (the month's covariance times the day's factor volatility regime; the common
    Student-t mixing has unit variance) and mean ``factor_mean``, and s e with variance ``specific_var`` (the
    month's specific volatility squared times the day's specific regime; the noise has unit variance). Each
    stock's return is then held within [``lower``, ``upper``], its board's daily price limits. ``factor_cov``
    and ``specific_var`` ignore that clipping; ``limited_variance`` accounts for it.
    """

    factor_names: list[str]  # country, industry codes, styles
    factor_cov: np.ndarray  # (K, K)
    exposures: pd.DataFrame  # index order_book_id (the month's universe): factor exposures in factor_names order
    specific_var: pd.Series  # index order_book_id
    factor_var_mult: float
    specific_var_mult: float
    crash: bool
    factor_mean: np.ndarray | None = None  # (K,) expected factor returns of the day
    lower: pd.Series | None = None  # index order_book_id: the lowest return the price limits allow
    upper: pd.Series | None = None  # index order_book_id: the highest return the price limits allow

    def limited_variance(self, weights, *, draws: int = 256, seed: int = 0) -> np.ndarray:
        """Variance of the returns of portfolios ``weights`` ((P, N) or (N,), over ``exposures.index``) as the
        market produces them, every stock's return clipped to its price limits (see ``limited_variance``)."""
        return limited_variance(self.exposures.to_numpy(), self.factor_cov, self.specific_var.to_numpy(),
                                self.factor_mean, self.lower.to_numpy(), self.upper.to_numpy(), weights,
                                draws=draws, seed=seed)


class TruthLaw:
    """What the truth of a day needs beyond the month's covariance and exposures, read once per database: the
    day's expected factor returns (the country's drift, which the crash moves, and the size premium) and
    every stock's bounds of the day's return (its board's price limit, the special-treatment limit, none in
    the first sessions after the listing; never below -50% or above +100%)."""

    def __init__(self, con):
        inst = con.execute("SELECT order_book_id, listed_date FROM instruments WHERE type = 'CS'").df()
        st = con.execute("SELECT order_book_id, start_date, end_date FROM st_status").df()
        cal = con.execute("SELECT date FROM trading_dates ORDER BY date").df()["date"]
        reg = con.execute("SELECT date, crash FROM demo_truth_regime ORDER BY date").df()
        self._cal = pd.to_datetime(cal).to_numpy().astype("datetime64[D]")
        self._pos = {oid: j for j, oid in enumerate(inst["order_book_id"])}
        board = inst["order_book_id"].str[:3].to_numpy()
        self._wide, self._wide_later = board == "688", board == "300"
        listed = pd.to_datetime(inst["listed_date"]).to_numpy().astype("datetime64[D]")
        # session number of the listing in the stored calendar (earlier listings: long past their first days)
        self._listed = np.where(listed >= self._cal[0], np.searchsorted(self._cal, listed), -_NO_LIMIT_DAYS)
        self._st = np.array([self._pos.get(oid, -1) for oid in st["order_book_id"]], dtype=np.int64)
        self._st_from = pd.to_datetime(st["start_date"]).to_numpy().astype("datetime64[D]")
        self._st_to = pd.to_datetime(st["end_date"]).fillna(pd.Timestamp.max.normalize()).to_numpy().astype(
            "datetime64[D]")
        days = pd.to_datetime(reg["date"]).to_numpy().astype("datetime64[D]")
        crash = reg["crash"].to_numpy(dtype=bool)
        # the k-th day of the crash: its first half drifts down, its second half partly back up
        run = np.zeros(len(crash), dtype=int)
        for k in range(1, len(crash)):
            run[k] = run[k - 1] + 1 if crash[k - 1] else 0
        drift = np.where(crash, np.where(run < _CRASH_DAYS // 2, _CRASH_DRIFT[0], _CRASH_DRIFT[1]), 0.0)
        self._drift = dict(zip(days, drift))

    def factor_mean(self, day, names: list[str]) -> np.ndarray:
        """Expected factor returns of ``day`` in the order of ``names``."""
        d = np.datetime64(pd.Timestamp(day).date(), "D")
        mean = np.zeros(len(names))
        mean[names.index("country")] = _COUNTRY_MEAN + self._drift.get(d, 0.0)
        mean[names.index("size")] = _SIZE_MEAN
        return mean

    def bounds(self, day, ids) -> tuple[np.ndarray, np.ndarray]:
        """The lowest and the highest return of ``day`` the price limits allow each stock of ``ids``."""
        d = np.datetime64(pd.Timestamp(day).date(), "D")
        st = np.zeros(len(self._listed) + 1, dtype=bool)  # the last slot takes periods of unknown stocks
        st[self._st[(self._st_from <= d) & (d < self._st_to)]] = True
        j = np.array([self._pos[oid] for oid in ids], dtype=np.int64)
        wide = self._wide[j] | (self._wide_later[j] & (d >= _GEM_WIDE_FROM))
        lim = np.where(wide, _LIMIT_WIDE, np.where(st[j], _LIMIT_ST, _LIMIT_MAIN))
        fresh = int(np.searchsorted(self._cal, d)) - self._listed[j] < _NO_LIMIT_DAYS
        lim = np.where(fresh, np.inf, lim)
        return np.maximum(-lim, -0.5), np.minimum(lim, 1.0)


def _t5_parts(x: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """For T Student-t with 5 degrees of freedom, at x (which may be infinite): P(T < x), P(T > x) and the
    partial moments E[T; T > x] and E[T^2; T > x]."""
    fin = np.isfinite(x)
    y = np.where(fin, x, 0.0)
    u = y / np.sqrt(5.0)
    q = 1.0 / (1.0 + u * u)  # cos^2 of arctan(u)
    cdf = 0.5 + (np.arctan(u) + u * q * (1.0 + 2.0 / 3.0 * q)) / np.pi
    pdf = 8.0 / (3.0 * np.pi * np.sqrt(5.0)) * q * q * q
    cdf = np.where(fin, cdf, (x > 0).astype(float))
    sf = np.where(fin, 1.0 - cdf, (x < 0).astype(float))
    # by parts, from d/dt [(5 + t^2) / 4 f(t)] = -t f(t)
    m1 = np.where(fin, (5.0 + y * y) / 4.0 * pdf, 0.0)
    m2 = np.where(fin, (y * (5.0 + y * y) * pdf + 5.0 * sf) / 3.0, np.where(x < 0, 5.0 / 3.0, 0.0))
    return cdf, sf, m1, m2


def _clipped_moments(m: np.ndarray, s: np.ndarray, lower: np.ndarray, upper: np.ndarray):
    """Mean and variance of clip(m + s e, lower, upper), e unit-variance Student-t with 5 degrees of freedom."""
    scale = s / np.sqrt(_SPEC_TAIL_DOF / (_SPEC_TAIL_DOF - 2))
    pos = scale > 0
    safe = np.where(pos, scale, 1.0)
    a, b = (lower - m) / safe, (upper - m) / safe
    fa, _, m1a, m2a = _t5_parts(a)
    _, sb, m1b, m2b = _t5_parts(b)
    fin_a, fin_b = np.isfinite(a), np.isfinite(b)
    a0, b0 = np.where(fin_a, a, 0.0), np.where(fin_b, b, 0.0)
    e1 = a0 * fa + m1a - m1b + b0 * sb
    e2 = a0 * a0 * fa + m2a - m2b + b0 * b0 * sb
    mean = np.where(pos, m + scale * e1, np.clip(m, lower, upper))
    var = np.where(pos, scale * scale * np.maximum(e2 - e1 * e1, 0.0), 0.0)
    return mean, var


def _chi2_quantile(u: np.ndarray, dof: float) -> np.ndarray:
    """Quantiles of the chi-square distribution with an even number of degrees of freedom (by bisection)."""
    n = int(round(dof / 2))
    lo, hi = np.zeros_like(u), np.full_like(u, 20.0 * n + 200.0)
    fact = np.cumprod(np.r_[1.0, np.arange(1, n)])
    for _ in range(80):
        mid = 0.5 * (lo + hi)
        cdf = 1.0 - np.exp(-mid) * (mid[:, None] ** np.arange(n) / fact).sum(axis=1)  # of Gamma(n, 1)
        below = cdf < u
        lo, hi = np.where(below, mid, lo), np.where(below, hi, mid)
    return lo + hi  # twice the Gamma(n, 1) quantile


def _mixing_nodes(strata: int) -> tuple[np.ndarray, np.ndarray]:
    """Nodes and weights for the factor returns' common Student-t mixing: the squared scale
    (dof - 2) / chi-square(dof) split into ``strata`` slices of the chi-square, finer where it is smallest
    (the largest moves, which the price limits cut), each node the slice's mean squared scale, so that the
    nodes keep the mixing's mean of 1 exactly. Six degrees of freedom (chi-square(6) = 2 Gamma(3))."""
    edges = (np.arange(strata + 1) / strata) ** 2
    q = np.r_[0.0, _chi2_quantile(edges[1:-1], _FACTOR_TAIL_DOF), np.inf]
    # E[4 / X; a < X < b] for X chi-square(6) is P(a < Y < b) for Y chi-square(4)
    cdf4 = np.where(np.isfinite(q), 1.0 - np.exp(-0.5 * np.where(np.isfinite(q), q, 0.0)) * (1.0 + 0.5 * q), 1.0)
    prob = np.diff(edges)
    return np.diff(cdf4) / prob, prob


def limited_variance(exposures, factor_cov, specific_var, factor_mean, lower, upper, weights, *,
                     draws: int = 256, seed: int = 0) -> np.ndarray:
    """Variance of portfolio returns under the generator's law of one day with each stock's return clipped to
    [``lower``, ``upper``] as the price limits do: the variance of the returns the market actually produces.

    Given the factor returns f, stocks are independent and the mean and variance of a clipped Student-t return
    have closed forms, so Var(w'r) = E_f[sum w_i^2 Var(r_i | f)] + Var_f(sum w_i E[r_i | f]). The expectation
    over f runs over ``draws`` / 2 nodes of the common Student-t mixing (``_mixing_nodes``), each with one
    seeded Gaussian draw and its mirror image. The same draws without the limits serve as a control variate
    of the second term (its exact value is known): with infinite limits the result is exactly the variance
    without them, and on a quiet day nearly so. ``weights``: (P, N) or (N,); returns (P,) or a scalar.
    """
    x = np.nan_to_num(np.asarray(exposures, dtype=np.float64))
    cov = np.asarray(factor_cov, dtype=np.float64)
    sv = np.nan_to_num(np.asarray(specific_var, dtype=np.float64))
    w = np.asarray(weights, dtype=np.float64)
    single = w.ndim == 1
    w = np.atleast_2d(w)
    mu = np.zeros(len(cov)) if factor_mean is None else np.asarray(factor_mean, dtype=np.float64)
    half = max(draws // 2, 1)
    scale2, prob = _mixing_nodes(half)
    lam, vec = np.linalg.eigh(cov)
    gauss = np.random.default_rng(seed).standard_normal((half, len(lam)))
    dev = ((gauss * np.sqrt(np.clip(lam, 0.0, None))) @ vec.T) * np.sqrt(scale2)[:, None]
    m = np.vstack([mu + dev, mu - dev]) @ x.T  # (draws, N): each stock's systematic return
    p = np.r_[prob, prob] / 2.0  # the draws' probabilities
    mean, var = _clipped_moments(m, np.sqrt(sv)[None, :], np.asarray(lower, dtype=np.float64)[None, :],
                                 np.asarray(upper, dtype=np.float64)[None, :])
    e = w @ x
    systematic = np.einsum("pk,kl,pl->p", e, cov, e)  # E[(w'X(f - mu))^2], exactly
    centre = e @ mu
    port = mean @ w.T
    limited = p @ ((port - centre) ** 2) - (p @ port - centre) ** 2
    plain = p @ ((m @ w.T - centre) ** 2)
    out = p @ (var @ (w * w).T) + np.maximum(limited - plain + systematic, 0.0)
    return out[0] if single else out


def truth_forecast(date, con, law: TruthLaw | None = None) -> TruthForecast:
    """The generator's truth for the trading day ``date`` of a demo market (``con``: a connection to it, such
    as ``zorvata.connect()``; ``law``: a ``TruthLaw`` of it to reuse across days). Raises LookupError for a
    database without the truth tables or a day they do not cover."""
    if not _has_truth(con):
        raise LookupError("not a demo market: the truth tables are missing")
    day = pd.Timestamp(date).date()
    ((month,),) = con.execute("SELECT max(date) FROM demo_truth_factor_cov WHERE date <= ?", [day]).fetchall()
    reg = con.execute("SELECT factor_var_mult, specific_var_mult, crash FROM demo_truth_regime WHERE date = ?",
                      [day]).fetchall() if month is not None else []
    if not reg:
        raise LookupError(f"no demo truth for {day}")
    cov = con.execute("SELECT factor_1, factor_2, cov FROM demo_truth_factor_cov WHERE date = ?", [month]).df()
    x = con.execute("SELECT * FROM demo_truth_exposures WHERE date = ? ORDER BY order_book_id", [month]).df()
    names = list(dict.fromkeys(cov["factor_1"]))
    fcov = cov.pivot(index="factor_1", columns="factor_2", values="cov").reindex(index=names, columns=names)
    fvm, svm, crash = reg[0]
    expo = pd.DataFrame(0.0, index=pd.Index(x["order_book_id"], name="order_book_id"), columns=names)
    expo["country"] = 1.0
    for code in x["industry"].unique():
        expo.loc[(x["industry"] == code).to_numpy(), code] = 1.0
    styles = [c for c in names if c in x.columns]
    expo[styles] = x[styles].to_numpy()
    svar = pd.Series(x["specific_vol"].to_numpy() ** 2 * svm, index=expo.index, name="specific_var")
    law = law if law is not None else TruthLaw(con)
    lower, upper = law.bounds(day, expo.index)
    return TruthForecast(names, fcov.to_numpy() * fvm, expo, svar, float(fvm), float(svm), bool(crash),
                         law.factor_mean(day, names), pd.Series(lower, index=expo.index, name="lower"),
                         pd.Series(upper, index=expo.index, name="upper"))


def _has_truth(con) -> bool:
    tables = {r[0] for r in con.execute("SELECT table_name FROM information_schema.tables").fetchall()}
    return {"demo_truth_factor_cov", "demo_truth_regime", "demo_truth_exposures"} <= tables
