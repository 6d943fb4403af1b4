"""Share orders from target weights: board lots, a price, a minimum trade value and a cash buffer.

`to_orders` turns the weights an optimisation gives into the orders that reach them from the shares held, as
the exchange takes them: buys in board lots (100 shares; 200 at least on the STAR market, then steps of 1),
sales in lots too unless they sell the whole position (an odd lot can only be sold at once), no order for a
stock suspended on the day. Every step is an array operation over all stocks at once.
"""

from __future__ import annotations

import dataclasses
import math
import numbers
import warnings

import numpy as np
import pandas as pd
import zorvata

from ..exception import InvalidArgument, OptimizerWarning

__all__ = ["OrderResult", "to_orders", "board_lots", "LOT", "STAR_MIN"]

#: A board lot on the main boards and ChiNext (shares).
LOT = 100
#: The smallest buy on the STAR market (688xxx.XSHG); above it any whole number of shares.
STAR_MIN = 200


def board_lots(ids, lot: int = LOT, star_min: int = STAR_MIN) -> tuple[np.ndarray, np.ndarray]:
    """(smallest order, step) in shares per id: `lot` and `lot` on the main boards and ChiNext; `star_min`,
    then steps of 1, on the STAR market (688xxx.XSHG)."""
    ids = np.asarray(list(ids), dtype=object).astype(str)
    star = np.char.startswith(ids, "688") & np.char.endswith(ids, ".XSHG")
    return np.where(star, float(star_min), float(lot)), np.where(star, 1.0, float(lot))


@dataclasses.dataclass(frozen=True)
class OrderResult:
    """What `to_orders` returns.

    - `orders`: one row per order, [order_book_id, side ("buy" / "sell"), shares, price, value]; value =
      shares x price, in currency units, always positive.
    - `shares`: the shares held after the orders, by id (every stock of the target or held).
    - `weights`: the weights after the orders (value / capital), by id; the rest is `cash`.
    - `cash`: the cash left after the orders and their estimated cost.
    - `cost`: the estimated cost of the orders (0 without a cost model).
    - `tracking_error`: the annualised ex-ante tracking error of `weights` against the target from the risk
      model (NaN when the model has no data for one of the stocks; `tracking_error=False` skips it).
    - `weight_gap`: half the sum of |weights - target| over the stocks and cash, a measure without a model.
    - `not_traded`: the ids that got no order though the target differs: suspended, or trades below
      `min_trade_value`.
    """

    orders: pd.DataFrame
    shares: pd.Series
    weights: pd.Series
    cash: float
    cost: float
    tracking_error: float
    weight_gap: float
    not_traded: list


def _number(value, name: str, lo: float = 0.0, hi: float = math.inf, closed_hi: bool = True) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real) or not math.isfinite(value) \
            or value < lo or (value > hi if closed_hi else value >= hi):
        right = "]" if closed_hi else ")"
        raise InvalidArgument(f"{name} must be a number in [{lo:g}, {hi:g}{right}, got {value!r}")
    return float(value)


def _series(value, name: str) -> pd.Series:
    if value is None:
        return pd.Series([], dtype=np.float64, index=pd.Index([], dtype=object))
    if isinstance(value, pd.Series):
        s = value
    elif isinstance(value, dict):
        s = pd.Series(value, dtype=object)
    else:
        raise InvalidArgument(f"{name} must be a pandas Series or a dict by order_book_id, "
                              f"got {type(value).__name__}")
    if not s.index.is_unique:
        raise InvalidArgument(f"{name}: {s.index[s.index.duplicated()][0]!r} appears twice")
    bad = [i for i in s.index if not isinstance(i, str)]
    if bad:
        raise InvalidArgument(f"{name}: ids must be strings, got {bad[0]!r}")
    num = pd.to_numeric(s, errors="coerce").astype(np.float64)
    odd = num.index[~np.isfinite(num.to_numpy())]
    if len(odd):
        raise InvalidArgument(f"{name}: {odd[0]!r} has {s[odd[0]]!r}, not a finite number")
    num.index = pd.Index(num.index, dtype=object)
    return num


def _last_closes(ids: list[str], day) -> np.ndarray:
    """The last unadjusted close of each id on or before `day` (NaN: none)."""
    out = np.full(len(ids), np.nan)
    if not ids:
        return out
    pos = pd.Index(ids)
    day = min(zorvata.to_date(day), zorvata.data_end())
    try:
        month = zorvata.trading_date_offset(day, -20)
    except zorvata.DataError:  # near the start of the calendar
        month = day
    # that day; for the stocks without a bar (suspended), a month back, then as far as the data go
    for start in (day, month, zorvata.meta().get("data_start") or "1990-01-01"):
        missing = [i for i, v in zip(ids, out) if not np.isfinite(v)]
        if not missing:
            break
        got = zorvata.get_daily_bars(start, day, ["close"], missing)
        last = got.groupby("order_book_id", sort=False)["close"].last()
        out[pos.get_indexer(last.index)] = last.to_numpy(dtype=np.float64)
    return out


def _suspended(ids: list[str], day) -> np.ndarray:
    """Whether each id is suspended on `day` (a stock without a flag row is not)."""
    out = np.zeros(len(ids), dtype=bool)
    if not ids or zorvata.to_date(day) > zorvata.data_end():
        return out
    got = zorvata.get_daily_flags(day, day, ["suspended"], ids)
    got = got[got["suspended"].to_numpy(dtype=bool)]
    out[pd.Index(ids).get_indexer(got["order_book_id"])] = True
    return out


def _nearest_allowed(want: np.ndarray, held: np.ndarray, first: np.ndarray, step: np.ndarray,
                     down: bool = False) -> np.ndarray:
    """The trade (shares, buys positive) the exchange takes nearest to `want`: a buy of 0 or `first` + k x
    `step` (rounded down with `down`); a sale of k x `step` of at least `first` (the STAR rule; `first` =
    `step` elsewhere) and no more than `held`, or exactly `held` (an odd lot can only go all at once)."""
    if down:
        buy = np.where(want >= first, first + np.floor((want - first) / step + 1e-9) * step, 0.0)
    else:
        buy = np.where(want >= first, first + np.round((want - first) / step) * step,
                       np.where(want >= first / 2, first, 0.0))
    n = np.maximum(-want, 0.0)
    k = np.minimum(np.round(n / step) * step, np.floor(held / step + 1e-9) * step)
    k = np.where(k < first, np.where((n >= first / 2) & (held >= first), first, 0.0), k)
    # all of it: asked for, or nearer than the nearest lot size
    k = np.where((n >= held - 1e-9) | (np.abs(held - n) < np.abs(k - n)), held, k)
    return np.where(want > 0, buy, np.where(want < 0, -k, 0.0))


def to_orders(target_weights, date, capital=None, current_shares=None, *, cash: float = 0.0,
              lot: int = LOT, star_min: int = STAR_MIN, price=None, min_trade_value: float = 0.0,
              cash_buffer: float = 0.0, cost_model=None, tracking_error: bool = True,
              risk_model: str = "v1") -> OrderResult:
    """The orders that bring `current_shares` to `target_weights` on `date`.

    Parameters
    ----------
    target_weights : Series (or dict) of weights by order_book_id, each in [0, 1], summing to at most 1 (the
        rest is meant as cash).
    date : the trading day of the orders.
    capital : the portfolio's value to allocate (currency units). None: the value of `current_shares` at the
        price plus `cash`.
    current_shares : Series (or dict) of the shares held by id (none: nothing held).
    cash : cash held beside `current_shares`, when `capital` is None.
    lot, star_min : the board lot, and the smallest buy on the STAR market (688xxx.XSHG), where any whole
        number of shares above it is taken; sales go in the same sizes unless they sell the whole position.
    price : the price of the orders: None for each stock's previous close (its last unadjusted close before
        `date`: the close before a suspension for one suspended then), or a Series / dict by id (missing ids
        take the previous close).
    min_trade_value : orders below this value (currency units) are not placed, except a sale of a whole
        position the target drops.
    cash_buffer : the share of `capital` kept in cash (in [0, 1)): the orders and their cost never spend it.
    cost_model : an object with ``estimate(trades, date)`` (trades in money by id, buys positive) returning a
        frame with a ``total`` column (``velquor.trading.CostModel``); its estimate is spent from the cash.
    tracking_error : compute the tracking error of the rounding from the risk model (`risk_model`, daily
        covariance, annualised by 252).

    Rounding: each trade is rounded to the nearest size the exchange takes, so that every stock ends within
    one lot (STAR: `star_min` at the edge, else one share) of its target. When the rounded buys do not fit
    in the cash (capital less the buffer, the held value of suspended stocks and the cost), the buys rounded
    up are rounded down, largest excess first; should that not do, every buy is scaled down and rounded down.
    A stock suspended on `date` (by the store's flags of that day) keeps its shares and gets no order.
    """
    target = _series(target_weights, "target_weights")
    held = _series(current_shares, "current_shares")
    day = zorvata.to_date(date)
    if not zorvata.is_trading_date(day):
        raise InvalidArgument(f"date {day} is not a trading date")
    if (target < 0).any() or (target > 1).any():
        bad = target.index[(target < 0) | (target > 1)][0]
        raise InvalidArgument(f"target_weights: {bad!r} has weight {float(target[bad])!r}, outside [0, 1]")
    if target.sum() > 1 + 1e-9:
        raise InvalidArgument(f"target_weights sum to {target.sum():.6g}, more than 1")
    if (held < 0).any():
        bad = held.index[held < 0][0]
        raise InvalidArgument(f"current_shares: {bad!r} holds {float(held[bad])!r} shares; short positions are not "
                              "supported")
    for name, v in (("lot", lot), ("star_min", star_min)):
        if isinstance(v, bool) or not isinstance(v, numbers.Integral) or v < 1:
            raise InvalidArgument(f"{name} must be a whole number of shares >= 1, got {v!r}")
    min_trade_value = _number(min_trade_value, "min_trade_value")
    cash_buffer = _number(cash_buffer, "cash_buffer", 0.0, 1.0, closed_hi=False)
    cash = _number(cash, "cash")

    ids = list(dict.fromkeys([*target.index, *held.index]))
    w = target.reindex(ids, fill_value=0.0).to_numpy(dtype=np.float64)
    h = held.reindex(ids, fill_value=0.0).to_numpy(dtype=np.float64)
    prev = zorvata.get_previous_trading_date(day)
    p = _last_closes(ids, prev)
    if price is not None:
        given = _series(price, "price")
        if (given <= 0).any():
            raise InvalidArgument(f"price: {given.index[given <= 0][0]!r} has a price at or below 0")
        at = pd.Index(ids).get_indexer(given.index)
        p[at[at >= 0]] = given.to_numpy()[at >= 0]
    no_price = [i for i, v, x, y in zip(ids, p, w, h) if not np.isfinite(v) and (x > 0 or y > 0)]
    if no_price:
        raise InvalidArgument(f"no price for {', '.join(no_price[:5])}{' ...' if len(no_price) > 5 else ''} "
                              f"on or before {prev} (not listed yet?); pass price= for them")
    p = np.where(np.isfinite(p), p, 1.0)
    if capital is None:
        capital = float(h @ p) + cash
    capital = _number(capital, "capital")
    if capital <= 0:
        raise InvalidArgument("capital must be above 0 (nothing held and no cash)")

    frozen = _suspended(ids, day)
    first, step = board_lots(ids, lot, star_min)
    budget = capital * (1.0 - cash_buffer)
    want = np.where(frozen, 0.0, w * capital / p - h)
    trade = _nearest_allowed(want, h, first, step)
    closing = (w <= 0) & (h > 0) & ~frozen  # a sale the target asks of the whole position
    small = (np.abs(trade) * p < min_trade_value) & ~(closing & (trade < 0))
    trade = np.where(small, 0.0, trade)

    def spend(t: np.ndarray) -> tuple[float, float]:
        after = h + t
        value = float(after @ p)
        c = _cost(cost_model, ids, t * p, day)
        return value + c, c

    total, cost = spend(trade)
    if total > budget + 1e-6:
        # first the buys rounded up, largest excess first
        down = _nearest_allowed(want, h, first, step, down=True)
        down = np.where(small, 0.0, down)
        excess = np.where((trade > 0) & (down < trade), (trade - down) * p, 0.0)
        order = np.argsort(-excess, kind="stable")
        order = order[excess[order] > 0]
        if len(order):
            saved = np.cumsum(excess[order])
            k = int(np.searchsorted(saved, total - budget - 1e-6)) + 1
            trade[order[:k]] = down[order[:k]]
            total, cost = spend(trade)
    if total > budget + 1e-6:
        # then every buy scaled to what the sales and the cash leave, rounded down
        buys = np.maximum(want, 0.0)
        sells = np.where(trade < 0, trade, 0.0)
        room = budget - float((h + sells) @ p) - cost
        scale = max(room, 0.0) / max(float(buys @ p), 1e-300)
        for _ in range(20):
            t = np.where(want > 0, _nearest_allowed(buys * min(scale, 1.0), h, first, step, down=True), sells)
            t = np.where((np.abs(t) * p < min_trade_value) & ~(closing & (t < 0)), 0.0, t)
            total, cost = spend(t)
            if total <= budget + 1e-6:
                break
            scale *= 0.99 * budget / total if total > 0 else 0.0
        trade = t
        if total > budget + 1e-6:
            raise InvalidArgument(f"the holdings of suspended stocks and the cost leave no room for the orders "
                                  f"within capital {capital:,.2f} less the cash buffer")

    after = h + trade
    weights = after * p / capital
    placed = trade != 0
    side = np.where(trade > 0, "buy", "sell")
    orders = pd.DataFrame({"order_book_id": np.asarray(ids, dtype=object)[placed], "side": side[placed],
                           "shares": np.abs(trade[placed]).astype(np.int64), "price": p[placed],
                           "value": np.abs(trade[placed]) * p[placed]})
    left = capital - float(after @ p) - cost
    index = pd.Index(ids, dtype=object, name="order_book_id")
    gap = 0.5 * (float(np.abs(weights - w).sum()) + abs((1.0 - weights.sum()) - (1.0 - w.sum())))
    off = ~placed & (np.abs(weights - w) * capital > 0.5 * first * p)
    te = _tracking_error(ids, weights - w, day, risk_model) if tracking_error else math.nan
    return OrderResult(orders=orders, shares=pd.Series(after.astype(np.int64), index=index, name="shares"),
                       weights=pd.Series(weights, index=index, name="weight"), cash=left, cost=cost,
                       tracking_error=te, weight_gap=gap,
                       not_traded=[i for i, o in zip(ids, off) if o])


def _cost(cost_model, ids: list[str], money: np.ndarray, day) -> float:
    if cost_model is None or not np.any(money):
        return 0.0
    moved = money != 0
    est = cost_model.estimate(pd.Series(money[moved], index=pd.Index(np.asarray(ids, dtype=object)[moved])),
                              day)
    return float(np.asarray(est["total"], dtype=np.float64).sum())


def _tracking_error(ids: list[str], diff: np.ndarray, day, risk_model: str) -> float:
    """sqrt(252 d' V d) for the weight differences `d`, V the risk model's daily covariance."""
    from ..helper import OptimizeHelper

    moved = np.abs(diff) > 0
    if not moved.any():
        return 0.0
    sel = [i for i, m in zip(ids, moved) if m]
    try:
        helper = OptimizeHelper(sel, day, None, "daily", risk_model, 1.0, 1.0)
    except InvalidArgument as e:
        warnings.warn(f"no tracking error: {e}", OptimizerWarning, stacklevel=3)
        return math.nan
    # in factor form: n x k exposures, never the n x n matrix
    x = helper.get_factor_exposure()
    f = helper.get_factor_covariance().loc[x.columns, x.columns].to_numpy()
    d = diff[moved]
    e = d @ x.to_numpy()
    var = float(e @ f @ e + np.sum(helper.get_specific_variance().to_numpy() * d * d))
    return math.sqrt(max(var, 0.0) * 252.0)
