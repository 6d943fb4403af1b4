"""A synthetic market of any size, written straight to the importer's Parquet files, one year at a time.

The demo market (`zorvata.demo`) holds its whole history in memory, which is fine for a few thousand stocks
over a decade. This generator streams instead: it keeps one year of days x stocks in memory and appends each
year to the open Parquet files, so 5,000 stocks over 20 years (about 17 million price rows) take a few hundred
megabytes. Its output is what `python -m zorvata import` reads; it is how the import is measured at the size of
a real market.

The market is plausible for the importer's checks and the risk model rather than a calibrated copy of one:
returns follow a factor model (a market factor, industries and the ten styles) with Student-t specific
returns and a slowly moving volatility regime; caps follow the returns; turnover is driven by a liquidity
characteristic; quarterly fundamentals come with announcement lags; industries change for a few stocks; some
stocks are ST for a while (their limit is 5%), suspended for a few days, or close at the price limit; daily bars
follow the caps (closes not in ticks, no splits). Every number is made up.
"""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq

from ._synthetic import allocate_codes, exchange_sessions
from .importer import FORMATS

__all__ = ["build_files", "FILE_NAMES", "DEFAULT_SEED"]

DEFAULT_SEED = 20060104
#: kind (the importer's keyword) -> file name in the output directory
FILE_NAMES = {
    k: f"{k}.parquet"
    for k in (
        "instruments",
        "trading_dates",
        "prices",
        "index_weights",
        "stock_daily",
        "fundamentals",
        "industries",
        "industry_history",
        "st_status",
        "daily_flags",
        "daily_bars",
    )
}
_STYLES = 10
_INDICES = (
    ("000300.XSHG", "2005-04-08", 0, 300),
    ("000905.XSHG", "2005-04-08", 300, 800),
    ("000985.XSHG", "2005-04-08", 0, None),
)
#: The Parquet schema of each file kind, as the importer reads it.
_ARROW_TYPES = {"date": pa.date32(), "text": pa.string(), "number": pa.float64(), "bool": pa.bool_()}
_SCHEMAS = {
    kind: pa.schema([(col, _ARROW_TYPES[t]) for col, t in FORMATS[kind].cols.items()])
    for kind in ("prices", "stock_daily", "index_weights", "fundamentals", "daily_flags", "daily_bars")
}


def _sessions(start: pd.Timestamp, end: pd.Timestamp) -> np.ndarray:
    try:
        s = exchange_sessions(start, end, complete=True)
    except Exception:  # noqa: BLE001 - beyond the calendar package's range (or without it): weekdays
        s = pd.bdate_range(start, end)
    return s.to_numpy(dtype="datetime64[D]")


class _Writers:
    def __init__(self, out: Path):
        self.out = out
        self.open: dict[str, pq.ParquetWriter] = {}

    def write(self, kind: str, cols: dict) -> None:
        schema = _SCHEMAS[kind]
        arrays = {}
        for f in schema:
            v = cols[f.name]
            if f.type == pa.date32():
                v = np.asarray(v, dtype="datetime64[D]")
            arrays[f.name] = pa.array(v, f.type)
        table = pa.table(arrays, schema=schema)
        if kind not in self.open:
            self.open[kind] = pq.ParquetWriter(self.out / FILE_NAMES[kind], schema, compression="zstd")
        self.open[kind].write_table(table, row_group_size=1 << 20)

    def close(self) -> None:
        for w in self.open.values():
            w.close()


def _table(path: Path, cols: dict) -> None:
    pq.write_table(pa.table(cols), path, compression="zstd")


def build_files(
    out_dir,
    *,
    n_stocks: int = 5000,
    start="2006-01-04",
    end=None,
    seed: int = DEFAULT_SEED,
    n_industries: int = 31,
) -> dict[str, Path]:
    """Write the importer's Parquet files of a synthetic market into `out_dir`; returns kind -> path.

    `end` defaults to 20 years after `start`. Memory stays at about one year of days x stocks.
    """
    out = Path(out_dir)
    out.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(seed)
    t0 = pd.Timestamp(start)
    t1 = pd.Timestamp(end) if end is not None else t0 + pd.DateOffset(years=20) - pd.Timedelta(days=1)
    days = _sessions(t0, t1)
    if len(days) < 2:
        raise ValueError(f"no trading days between {start} and {end}")
    n = int(n_stocks)

    # ---- stocks: listing, delisting, codes, industries, ST periods
    pre = (
        rng.random(n) < 0.9
    )  # most listed before the first day: about 25 million daily rows at 5,000 x 20 years
    listed = np.where(
        pre, days[0] - rng.integers(30, 5000, n).astype("timedelta64[D]"), days[rng.integers(1, len(days), n)]
    )
    delist_at = np.full(n, np.datetime64("NaT", "D"), dtype="datetime64[D]")
    gone = rng.random(n) < 0.05
    for i in np.flatnonzero(gone):
        lo = int(np.searchsorted(days, listed[i])) + 250
        if lo < len(days) - 1:
            delist_at[i] = days[rng.integers(lo, len(days))]
    ids, exchange = allocate_codes(rng, listed, star_share=0.4, sme_share=0.7)
    order = np.argsort(ids.astype(str))
    ids, exchange, listed, delist_at = ids[order], exchange[order], listed[order], delist_at[order]
    ids_list = ids.astype(str)
    ind = rng.integers(0, n_industries, n)
    sw_codes = [f"SW{k + 1:02d}" for k in range(n_industries)]
    ci_codes = [f"CI{k + 1:02d}" for k in range(max(2, n_industries - 1))]
    ci_of = np.minimum(np.arange(n_industries), len(ci_codes) - 1)
    fin = n_industries - 1  # the last industry: non-bank financials, split three ways in the split scheme
    split_codes = [f"SF{k + 1:02d}" for k in range(n_industries + 2)]
    # a few stocks change industry once
    switch = rng.random(n) < 0.03
    switch_day = days[rng.integers(len(days) // 4, len(days), n)]
    new_ind = (ind + rng.integers(1, n_industries, n)) % n_industries
    # the industry in force on a day: ind before switch_day, new_ind from it

    names = [f"合成{k + 1:04d}" for k in range(n)]
    inst = {
        "order_book_id": ids_list.tolist() + [i for i, *_ in _INDICES],
        "symbol": names + ["合成大盘300", "合成中盘500", "合成全市场"],
        "type": ["CS"] * n + ["INDX"] * len(_INDICES),
        "listed_date": pd.to_datetime(
            np.r_[listed, [np.datetime64(d) for _, d, *_ in _INDICES]]
        ).date.tolist(),
        "de_listed_date": [None if np.isnat(d) else pd.Timestamp(d).date() for d in delist_at] + [None] * 3,
        "exchange": exchange.tolist() + ["XSHG"] * 3,
        "industry_sw": [sw_codes[k] for k in np.where(switch, new_ind, ind)] + [None] * 3,
        "industry_citics": [ci_codes[ci_of[k]] for k in np.where(switch, new_ind, ind)] + [None] * 3,
    }
    _table(out / FILE_NAMES["instruments"], inst)
    _table(out / FILE_NAMES["trading_dates"], {"date": pa.array(days.astype("datetime64[D]"), pa.date32())})
    _table(
        out / FILE_NAMES["industries"],
        {
            "source": ["sw"] * n_industries
            + ["citics"] * len(ci_codes)
            + ["sw_split_financials"] * len(split_codes),
            "code": sw_codes + ci_codes + split_codes,
            "name": [f"合成行业{k + 1}" for k in range(n_industries)]
            + [f"合成中信{k + 1}" for k in range(len(ci_codes))]
            + [f"合成细分{k + 1}" for k in range(len(split_codes))],
        },
    )
    sub = rng.integers(0, 3, n)  # which part of the non-bank financials a financial stock is in

    def split_code(k, i):
        return split_codes[fin + sub[i]] if k == fin else split_codes[k]

    hist = {"source": [], "order_book_id": [], "code": [], "start_date": [], "end_date": []}
    for i in range(n):
        first = pd.Timestamp(listed[i]).date()
        periods = [(ind[i], first, None)]
        if (
            switch[i]
            and switch_day[i] > listed[i]
            and (np.isnat(delist_at[i]) or switch_day[i] < delist_at[i])
        ):
            sd = pd.Timestamp(switch_day[i]).date()
            periods = [(ind[i], first, sd), (new_ind[i], sd, None)]
        for src, code in (
            ("sw", lambda k: sw_codes[k]),
            ("citics", lambda k: ci_codes[ci_of[k]]),
            ("sw_split_financials", lambda k: split_code(k, i)),
        ):
            for k, a, b in periods:
                hist["source"].append(src)
                hist["order_book_id"].append(ids_list[i])
                hist["code"].append(code(k))
                hist["start_date"].append(a)
                hist["end_date"].append(b)
    _table(out / FILE_NAMES["industry_history"], hist)
    st = rng.random(n) < 0.05
    st_start = days[rng.integers(0, max(len(days) - 130, 1), n)]
    st_len = rng.integers(60, 400, n)
    rows = {"order_book_id": [], "start_date": [], "end_date": []}
    # the ST period of each stock as [start, end) days (none: start and end the same)
    st_from = np.full(n, np.datetime64("NaT", "D"), dtype="datetime64[D]")
    st_to = np.full(n, np.datetime64("NaT", "D"), dtype="datetime64[D]")
    for i in np.flatnonzero(st & (st_start > listed)):
        k = int(np.searchsorted(days, st_start[i]))
        stop = days[k + st_len[i]] if k + st_len[i] < len(days) else None
        if not np.isnat(delist_at[i]) and (st_start[i] >= delist_at[i]):
            continue
        st_from[i] = st_start[i]
        st_to[i] = stop if stop is not None else days[-1] + np.timedelta64(1, "D")
        rows["order_book_id"].append(ids_list[i])
        rows["start_date"].append(pd.Timestamp(st_start[i]).date())
        rows["end_date"].append(None if stop is None else pd.Timestamp(stop).date())
    _table(
        out / FILE_NAMES["st_status"],
        {
            "order_book_id": pa.array(rows["order_book_id"], pa.string()),
            "start_date": pa.array(rows["start_date"], pa.date32()),
            "end_date": pa.array(rows["end_date"], pa.date32()),
        },
    )

    # ---- characteristics and the first caps
    style = rng.standard_normal((n, _STYLES))
    cap = np.exp(rng.normal(np.log(5e9), 1.0, n))
    float_frac = rng.uniform(0.3, 1.0, n)
    spec_vol = 0.017 * np.exp(0.3 * style[:, 3])
    beta = 1.0 + 0.2 * style[:, 1]
    wide = np.char.startswith(ids_list, "688") | np.char.startswith(ids_list, "300")
    # the first close: a price around 12 (currency units); the share count stays (no splits: adj_factor 1)
    shares = cap / np.clip(np.exp(rng.normal(np.log(12.0), 0.8, n)), 2.0, 400.0)
    bp = np.exp(rng.normal(np.log(0.5), 0.5, n))
    roe = rng.normal(0.08, 0.06, n)
    lev = np.exp(rng.normal(np.log(0.6), 0.6, n))
    growth = 0.08 + 0.12 * style[:, 8]
    book = cap * bp
    sales = book * 0.8
    regime = 0.0
    susp_left = np.zeros(n, dtype=np.int64)
    weights: dict[str, tuple[np.ndarray, np.ndarray]] = {}  # index -> (stock positions, weights)
    k_ind = n_industries
    f_vol = np.r_[0.012, np.full(k_ind, 0.006), np.full(_STYLES, 0.003)]
    writers = _Writers(out)
    # fundamentals from a year before the first day, so the first model dates have reports
    q_ends = pd.date_range(pd.Timestamp(days[0]) - pd.DateOffset(years=1), pd.Timestamp(days[-1]), freq="QE")
    try:
        years = pd.DatetimeIndex(days).year
        for year in np.unique(years):
            sel = np.flatnonzero(years == year)
            yd = days[sel]
            t = len(yd)
            # slow drift of the characteristics, once a year
            style = 0.9 * style + np.sqrt(1 - 0.81) * rng.standard_normal(style.shape)
            # live[t, i]: listed on or before the day, not yet delisted
            live = (listed[None, :] <= yd[:, None]) & (
                np.isnat(delist_at)[None, :] | (yd[:, None] < delist_at[None, :])
            )
            first_day = listed[None, :] == yd[:, None]
            # the volatility regime
            h = np.empty(t)
            for d in range(t):
                regime = 0.98 * regime + 0.14 * rng.standard_normal()
                h[d] = np.exp(regime - 0.14**2 / (1 - 0.98**2) / 2)
            f = rng.standard_normal((t, 1 + k_ind + _STYLES)) * f_vol * np.sqrt(h)[:, None]
            f[:, 0] += 0.0003
            size = (np.log(cap) - np.log(cap).mean()) / max(np.log(cap).std(), 1e-9)
            x_style = style.copy()
            x_style[:, 0] = size
            e = rng.standard_t(5, (t, n)) / np.sqrt(5 / 3) * spec_vol * np.sqrt(h)[:, None]
            r = beta[None, :] * f[:, :1] + f[:, 1 : 1 + k_ind][:, ind] + f[:, 1 + k_ind :] @ x_style.T + e
            # 20% on the wide boards, 5% for a main-board stock under ST, else 10%
            under_st = (st_from[None, :] <= yd[:, None]) & (yd[:, None] < st_to[None, :])
            limit = np.where(wide[None, :], 0.2, np.where(under_st, 0.05, 0.1))
            r = np.clip(r, -limit, limit)
            # suspensions: a few days at a time
            suspended = np.zeros((t, n), dtype=bool)
            for d in range(t):
                start_susp = (susp_left == 0) & (rng.random(n) < 0.002)
                susp_left[start_susp] = rng.geometric(0.2, int(start_susp.sum()))
                suspended[d] = susp_left > 0
                susp_left = np.maximum(susp_left - 1, 0)
            traded = live & ~suspended & ~first_day
            at_up = traded & (r >= limit - 1e-12)
            at_down = traded & (r <= -limit + 1e-12)
            r_traded = np.where(traded, r, 0.0)
            caps = cap[None, :] * np.cumprod(1.0 + r_traded, axis=0)
            cap = caps[-1].copy()
            fcap = caps * float_frac[None, :]
            turnover = np.exp(
                np.log(0.012)
                + 0.6 * style[:, 6][None, :]
                + 0.3 * np.log(h)[:, None]
                + 0.4 * rng.standard_normal((t, n))
            )
            turnover = np.where(traded, np.clip(turnover, 0.0, 0.5), 0.0)
            dates32 = np.repeat(yd, n).reshape(t, n)
            idmat = np.broadcast_to(ids_list, (t, n))
            writers.write(
                "prices", {"date": dates32[traded], "order_book_id": idmat[traded], "rate": r[traded]}
            )
            writers.write(
                "stock_daily",
                {
                    "date": dates32[live],
                    "order_book_id": idmat[live],
                    "market_cap": caps[live],
                    "float_market_cap": fcap[live],
                    "turnover": turnover[live],
                },
            )
            # bars of the traded days: closes on the cap path (not in ticks, so that they give the returns
            # exactly), the open and the average price a little off them
            close = caps / shares[None, :]
            open_ = close / (1.0 + r_traded) * np.exp(0.5 * np.log1p(r_traded) + 0.004 * rng.standard_normal((t, n)))
            vwap = 0.5 * (open_ + close)
            volume = np.maximum(np.round(turnover * fcap / vwap / 100.0), 1.0) * 100.0
            bar = traded | (live & first_day & ~suspended)  # a listing suspended on its first day has no bar
            writers.write(
                "daily_bars",
                {
                    "date": dates32[bar],
                    "order_book_id": idmat[bar],
                    "open": open_[bar],
                    "close": close[bar],
                    "volume": volume[bar],
                    "value": (volume * vwap)[bar],
                    "adj_factor": np.ones(int(bar.sum())),
                },
            )
            flag = live & (suspended | at_up | at_down)
            writers.write(
                "daily_flags",
                {
                    "date": dates32[flag],
                    "order_book_id": idmat[flag],
                    "suspended": (suspended & live)[flag],
                    "limit_up": at_up[flag],
                    "limit_down": at_down[flag],
                },
            )
            # index weights on the first session of each month, index returns from the weights in force
            month = pd.DatetimeIndex(yd).month
            firsts = np.r_[True, month[1:] != month[:-1]]
            idx_rows = {"date": [], "order_book_id": [], "rate": []}
            w_rows = {"index_id": [], "date": [], "order_book_id": [], "weight": []}
            for d in range(t):
                if firsts[d]:
                    ok = live[d] & ~first_day[d] & ~np.isnan(caps[max(d - 1, 0)])
                    rank = np.argsort(-np.where(ok, caps[max(d - 1, 0)], -np.inf), kind="stable")
                    n_ok = int(ok.sum())
                    for iid, _, lo, hi in _INDICES:
                        members = rank[lo : min(hi if hi is not None else n_ok, n_ok)]
                        if not len(members):
                            continue
                        members = np.sort(members)
                        w = fcap[max(d - 1, 0), members]
                        w = w / w.sum()
                        weights[iid] = (members, w)
                        w_rows["index_id"] += [iid] * len(members)
                        w_rows["date"] += [yd[d]] * len(members)
                        w_rows["order_book_id"] += ids_list[members].tolist()
                        w_rows["weight"] += w.tolist()
                for iid, *_ in _INDICES:
                    if iid in weights and d + sel[0] > 0:
                        members, w = weights[iid]
                        idx_rows["date"].append(yd[d])
                        idx_rows["order_book_id"].append(iid)
                        idx_rows["rate"].append(float(w @ r_traded[d, members]))
            if w_rows["date"]:
                writers.write("index_weights", w_rows)
            if idx_rows["date"]:
                # the index rows go in with the stocks' (the importer sorts; the files need not be)
                writers.write("prices", idx_rows)
            # quarterly reports whose quarter ends in this year's span (the first year: the year before too)
            lo_q = pd.Timestamp(yd[0]) if sel[0] > 0 else q_ends[0] - pd.Timedelta(days=1)
            qs = q_ends[(q_ends >= lo_q) & (q_ends <= pd.Timestamp(yd[-1]))]
            frows = {c: [] for c in _SCHEMAS["fundamentals"].names}
            for q in qs:
                has = (listed <= np.datetime64(q.date())) & (
                    np.isnat(delist_at) | (delist_at > np.datetime64(q.date()))
                )
                m = int(has.sum())
                if not m:
                    continue
                lag = rng.integers(10, 120 if q.month == 12 else 60, m)
                known = (np.datetime64(q.date()) + lag.astype("timedelta64[D]")) <= days[
                    -1
                ]  # none from the future
                book[has] = np.maximum(book[has] * (1 + roe[has] / 4 + 0.02 * rng.standard_normal(m)), 1e6)
                sales[has] = sales[has] * (1 + growth[has] / 4 + 0.03 * rng.standard_normal(m))
                sales = np.maximum(sales, 1e5)
                frows["order_book_id"] += ids_list[has][known].tolist()
                frows["report_date"] += [q.date()] * int(known.sum())
                frows["announce_date"] += [(q + pd.Timedelta(days=int(x))).date() for x in lag[known]]
                frows["book_value"] += book[has][known].tolist()
                frows["earnings"] += (book[has] * roe[has])[known].tolist()
                frows["sales"] += sales[has][known].tolist()
                frows["total_debt"] += (book[has] * lev[has])[known].tolist()
            if frows["order_book_id"]:
                writers.write("fundamentals", frows)
            del live, first_day, e, r, caps, fcap, turnover, dates32, suspended, traded, close, open_, vwap, volume
    finally:
        writers.close()
    return {k: out / name for k, name in FILE_NAMES.items()}
