"""What the two synthetic market generators share (the demo market in demo.py, the full-size import files in
fullsize.py): the exchange's trading calendar and A-share-like codes allocated per board in listing order."""

from __future__ import annotations

import numpy as np
import pandas as pd

__all__ = ["exchange_sessions", "allocate_codes"]

#: the first listing day of the boards that opened later (STAR, ChiNext, SME)
_OPENED = {"688": np.datetime64("2019-07-22"), "300": np.datetime64("2009-10-30"),
           "002": np.datetime64("2004-06-25")}
#: board -> (first code, last code)
_RANGES = {"600": (600000, 605999), "688": (688001, 689999), "000": (1, 1999), "002": (2001, 4999),
           "300": (300001, 309999)}


def exchange_sessions(first: pd.Timestamp, last: pd.Timestamp, *, complete: bool = False) -> pd.DatetimeIndex:
    """The Shanghai exchange's trading days from `first` to `last` as the calendar package knows them. Its
    calendar may stop before `last`: then ValueError with `complete`, else the days it has."""
    import warnings

    with warnings.catch_warnings():
        # the calendar package trips pandas deprecations of its own; they are not ours to act on
        warnings.simplefilter("ignore")
        import exchange_calendars as xc

        s = xc.get_calendar("XSHG", start=min(first, pd.Timestamp("2006-01-04"))).sessions
    if complete and s[-1] < last:
        raise ValueError(f"the exchange calendar ends on {s[-1].date()}, before {last.date()}")
    return s[(s >= first) & (s <= last)]


def allocate_codes(rng: np.random.Generator, listed: np.ndarray, *, star_share: float,
                   sme_share: float | None) -> tuple[np.ndarray, np.ndarray]:
    """Codes ("600000.XSHG") allocated in listing order per board, and the exchange of each.

    Half the stocks are in Shanghai. A Shanghai stock listed once the STAR board opened joins it with
    probability `star_share`; a Shenzhen one joins ChiNext with probability 0.4 once it opened, else (with
    `sme_share` given) the SME board with that probability once it opened, else the main board, which spills
    into the SME board when full. Draws two uniform numbers per stock from `rng`, whatever the rules.
    """
    n = len(listed)
    sh = rng.random(n) < 0.5
    late = rng.random(n)
    ids = np.empty(n, dtype=object)
    boards = {board: list(bounds) for board, bounds in _RANGES.items()}  # next code, last code
    for i in np.argsort(listed, kind="stable"):
        if sh[i]:
            board = "688" if listed[i] >= _OPENED["688"] and late[i] < star_share else "600"
        elif listed[i] >= _OPENED["300"] and late[i] < 0.4:
            board = "300"
        elif sme_share is not None and listed[i] >= _OPENED["002"] and late[i] < sme_share:
            board = "002"
        else:
            board = "000"
            if sme_share is not None and boards["000"][0] > boards["000"][1]:
                board = "002"
        code, last = boards[board]
        if code > last:
            raise ValueError(f"too many stocks for the {board} board of the synthetic market")
        ids[i] = f"{code:06d}." + ("XSHG" if sh[i] else "XSHE")
        boards[board][0] += 1
    return ids, np.where(sh, "XSHG", "XSHE")
