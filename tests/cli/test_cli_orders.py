"""`velquor orders`: a weights file and a holdings file to an order list; bad input exits 2 with one line."""

from __future__ import annotations

import pandas as pd
import pytest
import zorvata

from velquor import cli

DATE = "2026-06-01"


@pytest.fixture(scope="module")
def files(market_db, tmp_path_factory):
    d = tmp_path_factory.mktemp("orders")
    ids = sorted(zorvata.index_weights("000300.XSHG", DATE).index)[:12]
    pd.DataFrame({"date": DATE, "order_book_id": ids, "weight": 1 / 12}).to_csv(d / "w.csv", index=False)
    # one stock held outside the target (sold whole, odd lot included), one inside it
    pd.DataFrame({"order_book_id": [ids[0], "000002.XSHE"], "shares": [300, 1250]}).to_csv(d / "h.csv", index=False)
    return d


def test_orders_from_weights_and_holdings(capsys, files):
    out = files / "orders.csv"
    status = cli.main(["orders", str(files / "w.csv"), "--holdings", str(files / "h.csv"), "--cash", "2e6",
                       "--cash-buffer", "0.01", "--out", str(out)])
    _, err = capsys.readouterr()
    assert status == 0
    o = pd.read_csv(out, dtype={"order_book_id": str})
    assert list(o.columns) == ["date", "order_book_id", "side", "shares", "price", "value"]
    assert set(o["date"]) == {DATE}
    sold = o[o["order_book_id"] == "000002.XSHE"]
    assert sold[["side", "shares"]].values.tolist() == [["sell", 1250]]
    buys = o[o["side"] == "buy"]
    star = buys["order_book_id"].str.startswith("688")
    assert len(buys) >= 10 and (buys.loc[~star, "shares"] % 100 == 0).all()
    assert (buys.loc[star, "shares"] >= 200).all()
    assert f"{len(o)} orders on {DATE}: buy " in err and f"wrote {out}" in err and "cash left" in err


@pytest.mark.parametrize("holdings, extra, message", [
    ("order_book_id,shares\n000002.XSHE,10.5\n", [],
     "--holdings: {h}: 000002.XSHE holds 10.5 shares, not a whole number >= 0"),
    (None, [], "orders: give --holdings, --capital or both"),
    (None, ["--capital", "1e6", "--cash-buffer", "2"], "cash_buffer must be a number in [0, 1), got 2.0"),
    (None, ["--capital", "1e6", "--out", "o.xlsx"], "output must end in .csv, .parquet or .json, got o.xlsx"),
])
def test_bad_input_exits_2_with_one_line(capsys, files, tmp_path, holdings, extra, message):
    argv = ["orders", str(files / "w.csv"), *extra]
    h = tmp_path / "h.csv"
    if holdings is not None:
        h.write_text(holdings)
        argv += ["--holdings", str(h)]
    assert cli.main(argv) == 2
    out, err = capsys.readouterr()
    assert out == "" and err == f"velquor: error: {message.format(h=h)}\n"
