"""The native kernels against the numpy reference they replace: random inputs with the awkward cases (NaN,
short windows, one stock, an industry with one member), and whole estimates on the session market."""

from __future__ import annotations

import numpy as np
import pytest

from velquor.riskmodel import exposures, native, pipeline
from velquor.riskmodel.kernels import decay, windowed_sum

pytestmark = pytest.mark.skipif(native._rmk is None, reason="native kernels not built")

RTOL = 1e-10


def reference(fn, *args, **kw):
    with native.reference():
        return fn(*args, **kw)


def close(got, want, rtol=RTOL, axis=-1):
    """Equal within ``rtol`` relative to the scale along ``axis`` (each row's, by default: a difference of two
    large terms near zero has no relative precision of its own); NaN where the reference has NaN."""
    got, want = np.asarray(got, dtype=np.float64), np.asarray(want, dtype=np.float64)
    assert got.shape == want.shape
    np.testing.assert_array_equal(np.isnan(got), np.isnan(want))
    w = np.where(np.isfinite(want), want, 0.0)
    scale = np.abs(w).max(axis=axis, keepdims=True) if w.ndim else abs(w)
    err = np.abs(np.where(np.isnan(want), 0.0, got) - w)
    assert (err <= rtol * scale).all(), f"relative difference up to {(err / np.maximum(scale, 1e-300)).max():.3g}"


def panel(rng, rows, cols, nan_share=0.2):
    x = rng.standard_normal((rows, cols))
    x[rng.random(x.shape) < nan_share] = np.nan
    return x


class TestWindowedSum:
    @pytest.mark.parametrize("halflife", [None, 5.0, 63.0])
    @pytest.mark.parametrize("rows,cols,window,origin", [
        (300, 37, 17, 0), (300, 37, 150, 37), (700, 5, 252, 100), (40, 3, 252, 63),  # window beyond the data
        (200, 1, 1, 5), (129, 16, 64, 0), (1, 4, 10, 0)])
    def test_matches_the_reference(self, halflife, rows, cols, window, origin):
        x = panel(np.random.default_rng(rows + cols), rows, cols)
        x[3 % rows, 0] = np.inf  # the reference maps infinities to the largest finite values
        want = reference(windowed_sum, x, halflife, window, origin)
        with native.reference(False):
            got = windowed_sum(x, halflife, window, origin)
        # the same operations in the same order, but not always the same bits: numpy's vectorised power takes
        # its own code path on some CPUs (AVX-512), a unit in the last place from the C library's. Relative to
        # each stock's scale over time: once the largest finite value leaves a window, what is left of its
        # column is the difference of two such terms
        close(got, want, rtol=1e-13, axis=0)

    def test_one_dimensional_and_empty(self):
        x = panel(np.random.default_rng(3), 90, 1)[:, 0]
        np.testing.assert_array_equal(native.windowed_sum(x, decay(10), False, 30, 7),
                                      reference(windowed_sum, x, 10, 30, 7))
        assert native.windowed_sum(np.empty((0, 3)), 1.0, True, 5, 0).shape == (0, 3)

    @pytest.mark.parametrize("window,origin", [(0, 0), (5, -1)])
    def test_bad_arguments_are_refused(self, window, origin):
        with pytest.raises(ValueError):
            native.windowed_sum(np.ones((4, 2)), 1.0, True, window, origin)


class TestCrossSection:
    def rows(self, seed=0, rows=30, cols=200):
        rng = np.random.default_rng(seed)
        x = panel(rng, rows, cols) * 3 + 1
        x[:, 5] = 40.0  # an outlier to winsorise
        cap = np.exp(rng.normal(20, 1, (rows, cols)))
        cap[rng.random(cap.shape) < 0.1] = np.nan
        x[0] = np.nan  # no value at all
        x[1, :] = 2.5  # no spread: standardises to zero
        x[2, 1:] = np.nan  # one stock
        x[3, ::2] = 1.0  # median absolute deviation zero: falls back on the standard deviation
        x[4, :4] = np.nan
        x[4, 4:] = 7.0
        return x, cap

    def test_row_median(self):
        x, _ = self.rows()
        x[5, :] = np.arange(200.0)  # an even count: the mean of the two middle values
        close(native.row_median(x), reference(exposures.row_median, x))

    @pytest.mark.parametrize("cols", [301, 1201])  # long rows select inside a sampled bracket first
    def test_row_median_selection_on_awkward_values(self, cols):
        rng = np.random.default_rng(9)
        half = cols // 2
        x = rng.standard_normal((10, cols)) * 10.0 ** rng.integers(-300, 300, (10, cols))  # every magnitude
        x[1] = np.round(rng.standard_normal(cols))  # many ties around the middle
        x[2, :half], x[2, half:] = -0.0, 0.0  # signed zeros
        x[3, :] = -5.0  # one value
        x[4, :100] = np.nan  # an even count of finite values
        x[5, ::3] = np.inf  # infinities are not finite values
        x[6] = np.repeat([1.0, 2.0], [half, cols - half]) + np.repeat([0.0, 1e-16], [cols - 101, 101])  # common prefix
        x[7, :] = np.nextafter(1.0, 2.0, out=np.full(cols, 1.0), where=rng.random(cols) < 0.5)
        x[8] = np.where(np.arange(cols) % 8 == 0, 1e6, rng.standard_normal(cols))  # every 8th value far off
        x[9] = np.sort(rng.standard_normal(cols))[::-1]
        x[9, :101] = np.nan  # an even count again, in falling order
        close(native.row_median(x), reference(exposures.row_median, x), 0.0)

    def test_standardise(self):
        x, cap = self.rows()
        got = native.standardise(x, cap, exposures.WINSOR_MADS)
        close(got, reference(exposures.standardise, x, cap))
        ok = np.isfinite(got[6:])
        assert np.allclose(np.nanstd(got[6:], axis=1), 1.0) and ok.any()

    def test_orthogonalise(self):
        x, cap = self.rows(1)
        x, cap = x[5:], cap[5:]  # (the reference's solve fails on a day with a single stock)
        rng = np.random.default_rng(5)
        xs = [rng.standard_normal(x.shape), panel(rng, *x.shape, 0.05)]
        close(native.orthogonalise(x, xs, cap), reference(exposures._orthogonalise, x, xs, cap), 1e-9)
        close(native.orthogonalise(x, [], cap), reference(exposures._orthogonalise, x, [], cap), 1e-9)

    def test_fill_industry_with_lone_and_missing_industries(self):
        x, cap = self.rows(2)
        rng = np.random.default_rng(6)
        industry = rng.integers(-1, 4, x.shape).astype(np.int16)
        industry[:, 7] = 4  # an industry with one member
        x[:, 7] = np.nan  # ... and no value: its industry has no mean to fill with
        n_ind = 6  # industry 5 has no member at all
        out = np.full(x.shape + (3,), -1.0, dtype=np.float32)
        native.fill_industry(x, cap, industry, n_ind, out, 1)
        want = reference(exposures._fill_industry, x, cap, exposures._industry_keys(industry, n_ind), n_ind)
        np.testing.assert_array_equal(out[:, :, 1], want.astype(np.float32))
        assert (out[:, :, [0, 2]] == -1).all()  # the other styles untouched

    def test_every_style_at_once(self):
        rng = np.random.default_rng(12)
        rows, cols, n_ind = 12, 150, 5
        d = {k: panel(rng, rows, cols, 0.1) for k in ("beta", "hsigma", "dastd", "mom", "liq", "growth")}
        d["book"] = np.exp(rng.normal(20, 1, (rows, cols))) * np.where(rng.random((rows, cols)) < 0.1, -1, 1)
        d["earnings"] = panel(rng, rows, cols, 0.1) * 1e8
        d["debt"] = np.exp(rng.normal(19, 1, (rows, cols)))
        d["mom"][2] = np.nan  # no value at all: the industry means fill nothing, the style is 0
        d["beta"][3, :] = 1.5  # no spread
        d["growth"][4, ::2] = 0.1  # median absolute deviation zero
        d["liq"][5, 7] = 1e3  # an outlier to winsorise
        cap = np.exp(rng.normal(20, 1, (rows, cols)))
        cap[rng.random(cap.shape) < 0.1] = np.nan
        cap[:, 0] = np.nan  # never listed
        industry = rng.integers(-1, n_ind - 1, (rows, cols)).astype(np.int16)
        industry[:, 9] = n_ind - 1  # an industry with one member
        d["hsigma"][:, 9] = np.nan  # ... without a value of its own
        got = native.styles(d, cap, industry, n_ind, exposures.WINSOR_MADS, list(exposures.STYLE_FACTORS))
        want = reference(exposures._styles, d, cap, industry, n_ind)
        assert got.dtype == np.float32 and got.shape == want.shape
        np.testing.assert_array_equal(np.isnan(got), np.isnan(want))
        assert np.isnan(got[:, 0]).all() and np.isfinite(got[np.isfinite(cap)]).all()
        ok = np.isfinite(want)
        assert (np.abs(got[ok] - want[ok]) <= np.spacing(np.abs(want[ok])) + 1e-30).all()  # one float32 rounding

    def test_styles_refuses_bad_positions(self):
        x = np.zeros((2, 3))
        with pytest.raises(ValueError, match="permutation"):
            native._rmk.styles([x] * 9, x, np.zeros((2, 3), np.int16), 1, 5.0, [0] * 10)
        with pytest.raises(ValueError, match="shape"):
            native._rmk.styles([x] * 8 + [np.zeros((3, 3))], x, np.zeros((2, 3), np.int16), 1, 5.0, list(range(10)))

    def test_market_return(self):
        x, cap = self.rows(3)

        class P:
            ret_clean = x / 100
        P.cap = cap
        close(native.market_return(x / 100, cap)[:, None], reference(exposures.market_return, P)[:, None])


def _fake_panel(rng, rows, cols, n_ind):
    """A panel-like object with everything the descriptors and the regressions read."""

    class P:
        start = 37

    ret = rng.standard_normal((rows, cols)) * 0.02
    ret[rng.random(ret.shape) < 0.05] = np.nan
    ret[:, 0] = np.nan  # never traded
    P.ret = ret
    clean = ret.copy()
    clean[rng.random(ret.shape) < 0.03] = np.nan
    P.ret_clean = clean
    P.turnover = np.where(np.isfinite(ret), np.exp(rng.normal(-4, 0.5, ret.shape)), np.nan)
    cap = np.exp(rng.normal(22, 1, ret.shape))
    cap[:, 1] = np.nan  # not listed
    P.cap = cap
    ind = rng.integers(0, n_ind - 1, ret.shape).astype(np.int16)
    ind[:, 2] = n_ind - 1  # an industry with one member
    ind[:, 3] = -1  # no industry
    P.industry = ind
    return P


def test_descriptors_match_the_reference():
    rng = np.random.default_rng(11)
    p = _fake_panel(rng, 330, 41, 5)
    mkt = reference(exposures.market_return, p)
    want = reference(exposures._descriptors, p.ret, p.ret_clean, p.turnover, mkt[:, None], 20, p.start)
    got = native.descriptors(p.ret, p.ret_clean, p.turnover, mkt, 20, p.start, decay(exposures.BETA_HALFLIFE),
                             exposures.BETA_WINDOW, exposures.BETA_MIN_OBS, exposures.MOM_WINDOW,
                             exposures.MOM_LAG, exposures.MOM_MIN_OBS)
    assert set(got) == set(want)
    for k in want:
        close(got[k], want[k])
    assert np.isfinite(got["beta"][-1, 4:]).all() and np.isnan(got["beta"][:40]).all()  # 63 days needed


def test_styles_written_over_their_descriptors():
    """The fused path of the pipeline: descriptors interleaved by row, the styles written over them. The same
    arithmetic as the styles of separate panels, so the same bits, in the descriptors' own memory."""
    rng = np.random.default_rng(14)
    rows, cols, n_ind, r0 = 330, 70, 5, 250
    p = _fake_panel(rng, rows, cols, n_ind)
    mkt = reference(exposures.market_return, p)
    args = (p.ret, p.ret_clean, p.turnover, mkt, r0, p.start, decay(exposures.BETA_HALFLIFE), exposures.BETA_WINDOW,
            exposures.BETA_MIN_OBS, exposures.MOM_WINDOW, exposures.MOM_LAG, exposures.MOM_MIN_OBS)
    desc = native.descriptor_rows(*args)
    assert desc.shape == (rows - r0, 5, cols) and desc.flags.c_contiguous
    days = rows - r0
    fund = {"book": np.exp(rng.normal(20, 1, (days, cols))) * np.where(rng.random((days, cols)) < 0.1, -1, 1),
            "earnings": panel(rng, days, cols, 0.1) * 1e8, "debt": np.exp(rng.normal(19, 1, (days, cols))),
            "growth": panel(rng, days, cols, 0.1)}
    cap, industry = p.cap[r0:], p.industry[r0:]
    names = list(exposures.STYLE_FACTORS)
    separate = {k: np.ascontiguousarray(v) for k, v in native.descriptors(*args).items()} | fund
    want = native.styles(separate, cap, industry, n_ind, exposures.WINSOR_MADS, names)
    got = native.styles_over(desc, fund, cap, industry, n_ind, exposures.WINSOR_MADS, names)
    assert got.dtype == np.float32 and got.shape == (days, cols, len(names)) and np.shares_memory(got, desc)
    np.testing.assert_array_equal(got, want)
    # ... and the reference's styles of the reference's descriptors, within one float32 rounding
    d = reference(exposures._descriptors, p.ret, p.ret_clean, p.turnover, mkt[:, None], r0, p.start) | fund
    ref = reference(exposures._styles, d, cap, industry, n_ind)
    ok = np.isfinite(ref)
    np.testing.assert_array_equal(ok, np.isfinite(got))
    assert (np.abs(got[ok] - ref[ok]) <= 2 * np.spacing(np.abs(ref[ok])) + 1e-6).all()


def test_styles_over_refuses_what_it_cannot_write_over():
    rows, cols = 4, 6
    desc = np.zeros((rows, 5, cols))
    f = [np.zeros((rows, cols))] * 4
    cap, ind = np.ones((rows, cols)), np.zeros((rows, cols), np.int16)
    slots = list(range(10))
    with pytest.raises(ValueError, match="overlap"):  # a fundamental inside the buffer the styles overwrite
        native._rmk.styles_over(desc, [desc.reshape(-1)[:rows * cols].reshape(rows, cols)] + f[1:], cap, ind, 1, 5.0,
                                slots)
    with pytest.raises(ValueError, match="overlap"):
        native._rmk.styles_over(desc, f, desc.reshape(-1)[-rows * cols:].reshape(rows, cols), ind, 1, 5.0, slots)
    with pytest.raises(ValueError, match="shape"):
        native._rmk.styles_over(np.zeros((rows, 4, cols)), f, cap, ind, 1, 5.0, slots)
    with pytest.raises(ValueError, match="permutation"):
        native._rmk.styles_over(desc, f, cap, ind, 1, 5.0, [0] * 10)
    with pytest.raises(ValueError, match="C-contiguous"):
        native.styles_over(np.zeros((rows, cols, 5)).transpose(0, 2, 1), dict(zip(("book", "earnings", "debt",
                                                                                     "growth"), f)),
                           cap, ind, 1, 5.0, list(exposures.STYLE_FACTORS))
    with pytest.raises(TypeError):  # read-only memory cannot be written over
        ro = np.zeros((rows, 5, cols))
        ro.flags.writeable = False
        native._rmk.styles_over(ro, f, cap, ind, 1, 5.0, slots)
    native._rmk.styles_over(np.zeros((0, 5, 0)), [np.zeros((0, 0))] * 4, np.zeros((0, 0)), np.zeros((0, 0), np.int16),
                            1, 5.0, slots)  # nothing to do


def test_spare_blocks_serve_later_outputs_only_while_open():
    rmk = native._rmk
    assert rmk.spare_bytes() == 0
    with native.spare_blocks():
        with native.spare_blocks():  # nested: the blocks stay until the outer body ends
            a = rmk.nan_panels(300, 1000, 1)[0]
            where = a.ctypes.data
            del a
            kept = rmk.spare_bytes()
            assert kept >= 300 * 1000 * 8
        assert rmk.spare_bytes() == kept
        small = rmk.nan_panels(10, 10, 1)[0]  # far smaller than the spare block: a block of its own
        assert small.ctypes.data != where and np.isnan(small).all()
        b = rmk.nan_panels(250, 1000, 1)[0]  # fits: the freed block, with what the kernel writes into it
        assert b.ctypes.data == where and rmk.spare_bytes() == 0 and np.isnan(b).all()
        big = rmk.nan_panels(700, 1000, 1)[0]
        del b, big
        assert rmk.spare_bytes() >= (250 + 700) * 1000 * 8
        assert rmk.nan_panels(600, 1000, 1)[0].ctypes.data != where  # too small for it: the larger block serves
    assert rmk.spare_bytes() == 0  # freed with the last body
    c = rmk.nan_panels(300, 1000, 1)[0]
    del c
    assert rmk.spare_bytes() == 0  # nothing kept outside


class TestRegressions:
    def run(self, p, x, n_ind, t0=200, days=60):
        n = p.ret.shape[1]
        k = 1 + n_ind + x.shape[2]
        listed = np.zeros(n, dtype=np.int64)
        listed[5] = t0 + 10  # listed during the span: enters after MIN_LISTED_DAYS
        want_f, want_u = np.full((days, k), np.nan), np.full((days, n), np.nan)
        for i in range(days):
            reference(pipeline._regress_day, p, x[i], i + 1, t0 + i, listed, n_ind, k, want_f[i], want_u[i])
        got_f = np.full((days, k), np.nan)
        expo = x  # row i: the exposures of panel row i (the day before regression row i + 1)
        got_u = pipeline._native_regressions(p, expo, 1, 0, t0, days, listed, n_ind, got_f)
        return got_f, got_u, want_f, want_u

    def test_factor_and_specific_returns_match_the_reference(self):
        rng = np.random.default_rng(12)
        n_ind = 6
        p = _fake_panel(rng, 61, 300, n_ind)
        p.industry[:, 10:20] = 3  # industry 4 and 5 keep few members
        x = rng.standard_normal((61, 300, 4)).astype(np.float32)
        got_f, got_u, want_f, want_u = self.run(p, x, n_ind)
        assert np.isfinite(want_f).all()
        close(got_f, want_f, 1e-9)
        close(got_u, want_u, 1e-9)

    def test_too_few_stocks_and_singular_days(self):
        rng = np.random.default_rng(13)
        n_ind = 3
        p = _fake_panel(rng, 61, 40, n_ind)
        x = rng.standard_normal((61, 40, 2)).astype(np.float32)
        p.ret_clean[7, 4:] = np.nan  # too few stocks: the day stays NaN
        x[11, :, 1] = 0.0  # a style without exposure: the normal equations are singular
        got_f, got_u, want_f, want_u = self.run(p, x, n_ind)
        assert np.isnan(want_f[6]).all() and np.isfinite(want_f[10]).all()
        close(got_f, want_f, 1e-9)
        close(got_u, want_u, 1e-9)


def test_switch_selects_the_reference(monkeypatch):
    monkeypatch.setenv(native.ENV_REFERENCE, "1")
    assert not native.enabled()
    with native.reference(False):
        assert native.enabled()
    monkeypatch.setenv(native.ENV_REFERENCE, "0")
    assert native.enabled()
    with native.reference():
        assert not native.enabled()
        assert native.fingerprint() == "reference"


@pytest.mark.parametrize("cov_model", ["daily", "monthly", "quarterly"])
def test_estimates_of_a_date_match_the_reference_pipeline(market_db, cov_model):
    import zorvata

    from velquor.const import ESTIMATED_RISK_MODELS, CovModel
    from velquor.riskmodel.data import load_universe

    con = zorvata.connect().cursor()
    uni = load_universe(con)
    p = uni.last - 5
    variants = [(CovModel(cov_model), rm) for rm in ESTIMATED_RISK_MODELS]
    got = {}
    for ref in (True, False):
        with native.reference(ref):
            pipeline.estimate_range(con, uni, p, p, variants, lambda e, cm, rm: got.setdefault((ref, rm), e))
    for rm in ESTIMATED_RISK_MODELS:
        a, b = got[(True, rm)], got[(False, rm)]
        np.testing.assert_array_equal(a.rows, b.rows)
        np.testing.assert_array_equal(a.industry, b.industry)
        # exposures are stored in float32: a rounding of the last double bit may flip one float32 bit
        np.testing.assert_allclose(b.style, a.style, rtol=2 ** -23, atol=1e-6)
        sd = np.sqrt(np.diag(a.factor_cov))
        assert (np.abs(b.factor_cov - a.factor_cov) <= 1e-9 * np.outer(sd, sd)).all()
        np.testing.assert_allclose(b.specific_var, a.specific_var, rtol=1e-9)


def test_estimates_are_the_same_bits_on_any_number_of_threads(market_db, monkeypatch):
    """A worker process runs the kernels on one thread, the client on several: the engines must agree."""
    import zorvata

    from velquor.const import ESTIMATED_RISK_MODELS, CovModel
    from velquor.riskmodel.data import load_universe

    con = zorvata.connect().cursor()
    uni = load_universe(con)
    p = uni.last - 5
    variants = [(CovModel.FACTOR_MODEL_DAILY, rm) for rm in ESTIMATED_RISK_MODELS]
    got: dict = {}
    monkeypatch.setattr(native.os, "cpu_count", lambda: 8)
    for n in ("1", "3"):
        monkeypatch.setenv("OMP_NUM_THREADS", n)
        assert native.threads() == int(n)
        with native.reference(False):
            pipeline.estimate_range(con, uni, p, p, variants, lambda e, cm, rm: got.setdefault((n, rm), e))
    for rm in ESTIMATED_RISK_MODELS:
        a, b = got[("1", rm)], got[("3", rm)]
        for name in ("rows", "industry", "style", "factor_cov", "specific_var"):
            np.testing.assert_array_equal(getattr(a, name), getattr(b, name), err_msg=name)


class TestPanelLoad:
    def test_report_states_fill_like_the_reference(self):
        rng = np.random.default_rng(21)
        states, rows, cols = 400, 60, 25
        row = np.sort(rng.integers(0, rows, states))
        col = rng.integers(0, cols, states)
        col[10:14], row[10:14] = 3, row[10]  # several states of one stock on one day: the last counts
        values = [rng.standard_normal(states) for _ in range(3)]
        for v in values:
            v[rng.random(states) < 0.3] = np.nan  # not reported: the previous value carries on
        values[0][13] = np.nan  # ... but not the value of a replaced state of the same day
        got = native.fill_states(row, col, values, rows, cols)
        # the rule written out cell by cell
        for f, v in enumerate(values):
            want = np.full((rows, cols), np.nan)
            for c in range(cols):
                mine = [i for i in range(states) if col[i] == c]
                kept = [i for i in mine if not any(j > i and row[j] == row[i] for j in mine)]
                for t in range(rows):
                    known = [v[i] for i in kept if row[i] <= t and not np.isnan(v[i])]
                    if known:
                        want[t, c] = known[-1]
            np.testing.assert_array_equal(got[f], want)

    def test_report_states_refuse_falling_rows(self):
        with pytest.raises(ValueError, match="ascending"):
            native.fill_states(np.array([3, 2]), np.array([0, 1]), [np.zeros(2)], 5, 2)
        with pytest.raises(ValueError, match="outside"):
            native.fill_states(np.array([0]), np.array([2]), [np.zeros(1)], 5, 2)

    def test_panels_equal_the_reference_load(self, market_db):
        import zorvata

        from velquor.riskmodel.data import load_panel, load_universe

        con = zorvata.connect().cursor()
        uni = load_universe(con)
        got = load_panel(con, uni, 40, uni.last + 1)
        want = reference(load_panel, con, uni, 40, uni.last + 1)
        for name in ("ret", "ret_clean", "cap", "turnover", "book", "earnings", "sales", "debt", "growth",
                     "industry"):
            np.testing.assert_array_equal(getattr(got, name), getattr(want, name), err_msg=name)
        assert np.isfinite(got.book).any()


class TestHorizonSeries:
    @pytest.mark.parametrize("cov_model", ["daily", "monthly", "quarterly"])
    @pytest.mark.parametrize("first_asof", [None, 700])
    def test_specific_series_match_the_reference(self, cov_model, first_asof):
        from velquor.const import CovModel
        from velquor.riskmodel.params import HORIZONS

        rng = np.random.default_rng(31)
        rows, cols = 900, 40
        u = panel(rng, rows, cols, 0.1) * 0.02
        u[:, 0] = np.nan  # never a specific return
        u[:, 1] = 1e-3  # the same every day
        u[rows // 2:, 2] = np.nan  # delisted half way
        u[:rows - 30, 3] = np.nan  # short history: below the count that sets the typical volatility
        u[:, 4] = np.where(np.arange(rows) % 2, np.nan, u[:, 4])  # every other day: no lag products
        fr = panel(rng, rows, 7, 0.0) * 0.01
        fr[:130] = np.nan
        hist = pipeline.FactorHistory(start=64, stop=64 + rows, factor_returns=fr, specific=u,
                                      exposures=np.zeros((rows, cols, 1), np.float32), cap=np.ones((rows, cols)))
        hz = HORIZONS[CovModel(cov_model)]
        first = None if first_asof is None else hist.start + first_asof
        want = reference(pipeline.horizon_series, hist, hz, first)
        with native.reference(False):
            got = pipeline.horizon_series(hist, hz, first)
        assert set(got) == set(want)
        for k in want:  # within a few units in the last place (see TestWindowedSum)
            close(got[k], want[k], rtol=1e-13, axis=0)
        assert np.isfinite(got["var"][-1, 1:]).sum() >= cols - 5

    def test_records_scatter_onto_their_rows(self):
        rng = np.random.default_rng(22)
        day = rng.integers(0, 9, 50).astype(np.int32)
        col = rng.integers(0, 4, 50).astype(np.int32)
        row_of_day = np.array([0, -1, 1, 2, -1, -1, 3, 4, 5])  # days off the calendar have no row
        values = [rng.standard_normal(50), rng.standard_normal(50)]
        got = native.scatter(day, col, row_of_day, values, 6, 4)
        for f, v in enumerate(values):
            want = np.full((6, 4), np.nan)
            for i in range(50):
                if row_of_day[day[i]] >= 0:
                    want[row_of_day[day[i]], col[i]] = v[i]  # a later record of the same cell wins
            np.testing.assert_array_equal(got[f], want)
        # the same records in uneven batches (as fetched): the same panels, later batches still winning
        cuts = [0, 7, 7, 31, 50]
        parts = [slice(a, b) for a, b in zip(cuts[:-1], cuts[1:])]
        batched = native.scatter([day[p] for p in parts], [col[p] for p in parts], row_of_day,
                                 [[v[p] for v in values] for p in parts], 6, 4)
        for f in range(2):
            np.testing.assert_array_equal(batched[f], got[f])
        with pytest.raises(ValueError, match="calendar"):
            native.scatter([day[:5], np.array([9], dtype=np.int32)], [col[:5], np.array([0], dtype=np.int32)],
                           row_of_day, [[v[:5] for v in values], [np.zeros(1), np.zeros(1)]], 6, 4)
        with pytest.raises(ValueError, match="calendar"):
            native.scatter(np.array([9]), np.array([0]), row_of_day, [np.zeros(1)], 6, 4)
        # placed as they stream in: the same panels
        streamed = native.scatter_batches(((day[p], col[p], [v[p] for v in values]) for p in parts), row_of_day,
                                          6, 4, 2)
        for f in range(2):
            np.testing.assert_array_equal(streamed[f], got[f])
        assert all(np.isnan(p).all() for p in native.scatter_batches(iter(()), row_of_day, 6, 4, 3))
        with pytest.raises(ValueError, match="calendar"):
            native.scatter_batches([(np.array([9]), np.array([0]), [np.zeros(1)])], row_of_day, 6, 4, 1)
        with pytest.raises(ValueError, match="outside the panel"):
            native.scatter_batches([(np.array([0]), np.array([4]), [np.zeros(1)])], row_of_day, 6, 4, 1)
        with pytest.raises(ValueError, match="outside the panel"):
            native.scatter_batches([(np.array([0]), np.array([0]), [np.zeros(1)])], row_of_day, 5, 4, 1)
        with pytest.raises(ValueError, match="one panel per field"):
            native.scatter_batches([(np.array([0]), np.array([0]), [np.zeros(1)] * 2)], row_of_day, 6, 4, 1)
        with pytest.raises(ValueError, match="differ in length"):
            native.scatter_batches([(np.array([0, 1]), np.array([0]), [np.zeros(2)])], row_of_day, 6, 4, 1)
        # panels too large to address are refused, not allocated with a wrapped-around size
        for rows, cols in ((2**40, 2**40), (2**62, 4)):
            with pytest.raises(MemoryError):
                native.scatter_batches(iter(()), row_of_day, rows, cols, 1)
            with pytest.raises(MemoryError):
                native.scatter(np.zeros(1, dtype=np.int32), np.zeros(1, dtype=np.int32), np.zeros(1, dtype=np.int64),
                               [np.zeros(1)], rows, cols)
        with pytest.raises(ValueError, match="outside the panel"):
            native.scatter(np.array([0]), np.array([0]), row_of_day, [np.zeros(1)], 5, 4)


@pytest.mark.parametrize("lags,k", [(0, 6), (2, 6), (4, 42), (1, 9)])
def test_simulation_grams_and_bias_match_the_reference(lags, k):
    # the native grams fold the lags into one pass over each draw and keep only the diagonal of the
    # volatility moments: the same draws, the same diagonal, the same bias
    from velquor.riskmodel import kernels

    args = (64, k, (20.0, 60), (40.0, 90), lags)
    kernels._GRAMS.clear()
    g_vol, g_corr = kernels.estimator_grams(*args)
    want_vol, want_corr = reference(kernels.estimator_grams, *args)
    kernels._GRAMS.clear()
    assert g_vol.shape == (64, k)
    close(g_vol, np.einsum("mii->mi", want_vol), 1e-12)
    close(g_corr.reshape(64, -1), want_corr.reshape(64, -1), 1e-12)
    np.testing.assert_array_equal(g_corr, g_corr.transpose(0, 2, 1))
    cov = np.cov(np.random.default_rng(4).standard_normal((k, 200))) + 0.1 * np.eye(k)
    close(kernels.simulated_eigen_bias(cov, (g_vol, g_corr)),
          reference(kernels.simulated_eigen_bias, cov, (want_vol, want_corr)), 1e-12)


def test_simulation_grams_kernel_segments_and_bad_arguments():
    # each segment is the last rows of the draws' histories, and lags reach back only within their segment
    from velquor.riskmodel import kernels

    z = np.random.default_rng(6).standard_normal((5, 30, 4))
    w_vol, w_corr = np.linspace(0.3, 1.0, 12), np.linspace(0.1, 1.0, 30)
    c_vol, c_corr = kernels._nw_coefficients(w_vol, 3), kernels._nw_coefficients(w_corr, 3)
    g_vol, g_corr = native.nw_grams(z, w_vol, c_vol, w_corr, c_corr)
    close(g_vol, kernels._nw_gram_folded(z[:, -12:].copy(), w_vol, 3, diagonal=True), 1e-13)
    close(g_corr.reshape(5, -1), kernels._nw_gram(z, w_corr, 3).reshape(5, -1), 1e-13)
    with pytest.raises(ValueError, match="longer"):
        native.nw_grams(z, np.ones(31), c_vol, w_corr, c_corr)
    with pytest.raises(ValueError, match="coefficient"):
        native.nw_grams(z, w_vol, c_vol, w_corr, c_corr[:2])
    with pytest.raises(ValueError, match="coefficient"):
        native.nw_grams(z, w_vol, np.ones(0), w_corr, np.ones(0))
    g_vol, g_corr = native.nw_grams(z[:0], w_vol, c_vol, w_corr, c_corr)
    assert g_vol.shape == (0, 4) and g_corr.shape == (0, 4, 4)


def _numpy_eigen_sums(vals, g_vol, g_corr):
    """Per rank: the sums over the draws of the eigenvalues (negative as 0) and true variances, by numpy."""
    root = np.sqrt(vals)
    sim_corr = g_corr * np.outer(root, root)
    corr_sd = np.sqrt(np.einsum("mii->mi", sim_corr))
    scale = np.where(corr_sd > 0, np.sqrt(g_vol * vals) / np.where(corr_sd > 0, corr_sd, 1.0), 0.0)
    sim_vals, sim_vecs = np.linalg.eigh(sim_corr * scale[:, :, None] * scale[:, None, :])
    return np.maximum(sim_vals, 0.0).sum(axis=0), np.einsum("mik,i,mik->mk", sim_vecs, vals, sim_vecs).sum(axis=0)


class TestEigenBiasSums:
    """The simulation's batched eigensolver (eight draws side by side) against numpy's."""

    @staticmethod
    def spectrum(rng, k, spread=1e4):
        return np.sort(np.exp(rng.uniform(0.0, np.log(spread), k))) * 1e-6

    @pytest.mark.parametrize("k,draws", [(42, 256), (42, 61), (17, 9), (3, 8), (2, 5), (1, 3)])
    def test_matches_numpy(self, k, draws):
        from velquor.riskmodel import kernels

        rng = np.random.default_rng(k * 100 + draws)
        t = max(3 * k, 40)
        g_vol = kernels._nw_gram_folded(rng.standard_normal((draws, t, k)), np.linspace(0.5, 1.0, t), 2,
                                        diagonal=True)
        g_corr = kernels._nw_gram_folded(rng.standard_normal((draws, t, k)), np.linspace(0.2, 1.0, t), 2)
        vals = self.spectrum(rng, k)
        est, true = native.eigen_bias_sums(vals, g_vol, g_corr)
        want_est, want_true = _numpy_eigen_sums(vals, g_vol, g_corr)
        close(est, want_est)
        close(true, want_true)
        # every rank on its own scale too: the smallest eigenvalues are where the precision goes
        np.testing.assert_allclose(est, want_est, rtol=1e-10)
        np.testing.assert_allclose(true, want_true, rtol=1e-10)
        for threads in (1, 3):  # draws spread over threads: the same bits
            got = _rmk_sums(vals, g_vol, g_corr, threads)
            np.testing.assert_array_equal(got[0], est)
            np.testing.assert_array_equal(got[1], true)

    def test_zero_eigenvalues_and_full_moments(self):
        rng = np.random.default_rng(5)
        k, draws = 12, 20
        z = rng.standard_normal((draws, 60, k))
        g = z.transpose(0, 2, 1) @ z / 60
        vals = self.spectrum(rng, k)
        vals[:3] = 0.0  # a covariance of rank k - 3: its simulated matrices have zero rows and columns
        est, true = native.eigen_bias_sums(vals, g, g)  # (draws, k, k) volatility moments: their diagonal
        want_est, want_true = _numpy_eigen_sums(vals, np.einsum("mii->mi", g), g)
        close(est, want_est)
        close(true, want_true)
        assert (est[:3] == 0).all() and (true[:3] < 1e-20 * true.max()).all()

    def test_repeated_eigenvalues_keep_an_orthonormal_basis(self):
        # simulated matrices with an eigenvalue of multiplicity three (up to rounding): each of their
        # eigenvectors is arbitrary, but the three span the eigenspace, so their true variances sum to its
        # share of the trace and the ranks around them are unaffected
        rng = np.random.default_rng(8)
        k, draws = 9, 11
        vals = self.spectrum(rng, k, 50.0)
        root = np.sqrt(vals)
        g_corr = np.empty((draws, k, k))
        for m in range(draws):
            q, _ = np.linalg.qr(rng.standard_normal((k, k)))
            lam = np.array([1.0, 2.0, 3.0, 3.0, 3.0, 4.0, 5.0, 6.0, 7.0]) * 1e-5
            s = (q * lam) @ q.T
            g_corr[m] = s / np.outer(root, root)
        g_vol = np.einsum("mii->mi", g_corr)
        est, true = native.eigen_bias_sums(vals, g_vol, g_corr)
        want_est, want_true = _numpy_eigen_sums(vals, g_vol, g_corr)
        close(est, want_est)
        np.testing.assert_allclose(true.sum(), draws * vals.sum(), rtol=1e-12)
        np.testing.assert_allclose(true[2:5].sum(), want_true[2:5].sum(), rtol=1e-10)
        keep = [0, 1, 5, 6, 7, 8]
        np.testing.assert_allclose(true[keep], want_true[keep], rtol=1e-10)

    def test_bad_input(self):
        g = np.tile(np.eye(3), (4, 1, 1))
        assert native.eigen_bias_sums(np.ones(3), np.ones((4, 3)), g) is not None
        with pytest.raises(ValueError, match="negative"):
            native.eigen_bias_sums(np.array([1.0, -1.0, 1.0]), np.ones((4, 3)), g)
        with pytest.raises(ValueError, match="negative"):
            native.eigen_bias_sums(np.array([1.0, np.nan, 1.0]), np.ones((4, 3)), g)
        with pytest.raises(ValueError, match="shape"):
            native.eigen_bias_sums(np.ones(3), np.ones((5, 3)), g)
        with pytest.raises(ValueError, match="shape"):
            native.eigen_bias_sums(np.ones(2), np.ones((4, 2)), g)
        bad = g.copy()
        bad[2, 0, 1] = bad[2, 1, 0] = np.nan  # a draw that cannot converge: the caller falls back on numpy
        assert native.eigen_bias_sums(np.ones(3), np.ones((4, 3)), bad) is None
        bad[2, 0, 1] = bad[2, 1, 0] = np.inf
        assert native.eigen_bias_sums(np.ones(3), np.ones((4, 3)), bad) is None
        est, true = native.eigen_bias_sums(np.ones(0), np.ones((4, 0)), np.ones((4, 0, 0)))
        assert est.shape == true.shape == (0,)
        est, true = native.eigen_bias_sums(np.ones(3), np.ones((0, 3)), np.ones((0, 3, 3)))
        assert (est == 0).all() and (true == 0).all()


def _rmk_sums(vals, g_vol, g_corr, threads):
    return native._rmk.eigen_bias_sums(np.ascontiguousarray(vals), np.ascontiguousarray(g_vol),
                                       np.ascontiguousarray(g_corr), threads)


def test_specific_regime_sums_match_the_reference():
    from velquor.const import CovModel
    from velquor.riskmodel.kernels import ratio_multiplier
    from velquor.riskmodel.params import HORIZONS

    rng = np.random.default_rng(41)
    rows, cols = 400, 60
    u = panel(rng, rows, cols, 0.1) * 0.02
    u[:, :3] = np.nan  # no specific returns
    cap = np.exp(rng.normal(20, 1, (rows, cols)))
    cap[rng.random(cap.shape) < 0.05] = np.nan
    fr = panel(rng, rows, 5, 0.0) * 0.01
    hist = pipeline.FactorHistory(start=0, stop=rows, factor_returns=fr, specific=u,
                                  exposures=np.zeros((rows, cols, 1), np.float32), cap=cap)
    hz = HORIZONS[CovModel.FACTOR_MODEL_DAILY]
    series = reference(pipeline.horizon_series, hist, hz)
    series["var0"][:, 3] = 0.0  # a stock whose forecast vanishes is left out
    cases = ((rows - 1, 0), (300, 0), (100, 80), (5, 0))  # full, early (window from row 1) and short windows
    for i, lo in cases:
        want = reference(pipeline._specific_regime, hist, series, i, lo, hz)
        with native.reference(False):
            got = pipeline._specific_regime(hist, series, i, lo, hz)
            # a batch of dates in one pass over the rows their windows cover gives each the same
            batch = pipeline._specific_regime_sums(hist, series, [i, i - 1, rows - 1, 90], lo, hz)
            assert pipeline._specific_regime(hist, series, i, lo, hz, batch) == pytest.approx(got, rel=1e-14)
        assert got == pytest.approx(want, rel=1e-12)
    num, den = native.specific_regime(u, series["var0"], series["cnt"], cap, 1, 21, [rows - 1], 21.0)
    assert np.isnan(num).all() and (den == 0).all()  # the first days: no stock has 21 observations yet
    assert ratio_multiplier(num[0], den[0], 63.0) == 1.0


@pytest.mark.parametrize("case", ["definite", "semidefinite", "indefinite", "nan"])
def test_psd_clip_shortcut_matches_the_reference(case):
    """The native pipeline skips the decomposition of a matrix whose Cholesky factor exists."""
    from velquor.riskmodel.kernels import clip_psd

    rng = np.random.default_rng(5)
    f = rng.standard_normal((60, 8))
    a = f.T @ f / 60
    if case == "semidefinite":
        a[:, -1] = a[-1, :] = 0.0
    elif case == "indefinite":
        a[0, 1] = a[1, 0] = 2.0 * np.sqrt(a[0, 0] * a[1, 1])
    elif case == "nan":
        a[2, 3] = a[3, 2] = np.nan
    for floor in (0.0, 0.5 * np.linalg.eigvalsh(f.T @ f / 60)[0]):
        if case == "nan":  # refused alike, not passed through
            with pytest.raises(np.linalg.LinAlgError):
                reference(clip_psd, a, floor)
            with native.reference(False), pytest.raises(np.linalg.LinAlgError):
                clip_psd(a, floor)
            continue
        want = reference(clip_psd, a, floor)
        with native.reference(False):
            got = clip_psd(a, floor)
        np.testing.assert_allclose(got, want, rtol=0, atol=1e-13 * a[0, 0])


class TestNativeBuild:
    """The native pipeline's own orchestration: batches cut at eigenfactor refreshes, the variants of a
    horizon computed together and a date's variants written together."""

    def test_batches_never_share_an_eigenfactor_anchor(self):
        from velquor.riskmodel.params import EIGEN_REFRESH, FIRST_ASOF_INDEX

        positions = [p for p in range(FIRST_ASOF_INDEX, FIRST_ASOF_INDEX + 97) if p % 7 != 3]  # with gaps
        with native.reference(False):
            batches = pipeline._batches(positions)
        assert [p for b in batches for p in b] == positions
        anchors = [{pipeline.eigen_anchor(p) for p in b} for b in batches]
        for a, b in zip(anchors, anchors[1:]):
            assert not a & b
        assert all(len(b) <= 3 * EIGEN_REFRESH for b in batches)

    def test_a_span_with_a_date_sink_matches_the_reference(self, market_db):
        """Twelve dates across two eigenfactor refreshes, all six variants: the native pass (one sink call
        per date) gives the reference pass's estimates."""
        import zorvata

        from velquor.const import ESTIMATED_RISK_MODELS, CovModel
        from velquor.riskmodel.data import load_universe

        con = zorvata.connect().cursor()
        uni = load_universe(con)
        lo, hi = uni.last - 14, uni.last - 3
        variants = [(cm, rm) for cm in CovModel for rm in ESTIMATED_RISK_MODELS]
        want: dict = {}
        with native.reference(True):
            pipeline.estimate_range(con, uni, lo, hi, variants, lambda e, cm, rm: want.setdefault((e.asof, cm, rm), e))

        class DateSink:
            got: dict = {}
            days: list = []

            def __call__(self, e, cm, rm):  # pragma: no cover - the native pass hands whole dates
                raise AssertionError("one estimate at a time")

            def day(self, done):
                self.days.append({e.asof for e, _, _ in done})
                for e, cm, rm in done:
                    self.got[(e.asof, cm, rm)] = e

        sink = DateSink()
        with native.reference(False):
            pipeline.estimate_range(con, uni, lo, hi, variants, sink)
        assert sink.days == [{p} for p in range(lo, hi + 1)]
        assert sink.got.keys() == want.keys()
        for k, a in want.items():
            b = sink.got[k]
            np.testing.assert_array_equal(a.rows, b.rows)
            sd = np.sqrt(np.diag(a.factor_cov))
            assert (np.abs(b.factor_cov - a.factor_cov) <= 1e-9 * np.outer(sd, sd)).all(), k
            np.testing.assert_allclose(b.specific_var, a.specific_var, rtol=1e-9, err_msg=str(k))

    def test_a_date_written_whole_reads_back_like_one_written_by_variant(self, tmp_path):
        from velquor.const import STYLE_FACTORS, CovModel, RiskModel
        from velquor.riskmodel.store import Store

        rng = np.random.default_rng(2)
        ids = ["000001.XSHE", "000002.XSHE", "600000.XSHG"]
        style = rng.standard_normal((3, len(STYLE_FACTORS))).astype(np.float32)
        industry, names, cap = np.array([0, 1, -1], np.int16), ["a", "b"], rng.random(3) + 1.0
        k = 1 + 2 + len(STYLE_FACTORS)
        covs = {(cm, rm): (np.eye(k) * rng.random(), rng.random(3)) for cm in CovModel for rm in RiskModel
                if rm is not RiskModel.CUSTOM}
        one, whole = Store(tmp_path / "one"), Store(tmp_path / "whole")
        for (cm, rm), (cov, sv) in covs.items():
            one.write("2025-06-03", cm, rm, ids, style, industry, names, cap, cov, sv)
        whole.write_day("2025-06-03", ids, style, industry, names, cap,
                        [(cm, rm, cov, sv) for (cm, rm), (cov, sv) in covs.items()], in_one=True)
        for cm, rm in covs:
            a, b = one.read("2025-06-03", cm, rm), whole.read("2025-06-03", cm, rm)
            assert a.ids == b.ids
            for name in ("style", "industry", "cap", "factor_cov", "specific_var"):
                np.testing.assert_array_equal(getattr(a, name), getattr(b, name))

    def test_stock_variances_without_the_exposure_rows(self):
        """The date sink checks each stock's variance from its industry and styles, not a built row."""
        from velquor.const import STYLE_FACTORS
        from velquor.riskmodel.plausibility import factor_variance
        from velquor.riskmodel.store import Model

        rng = np.random.default_rng(9)
        n, n_ind, n_sty = 40, 5, len(STYLE_FACTORS)
        style = rng.standard_normal((n, n_sty)).astype(np.float32)
        industry = rng.integers(-1, n_ind, n)  # some stocks without an industry
        f = rng.standard_normal((200, 1 + n_ind + n_sty))
        cov = f.T @ f / 200
        design = Model(ids=[str(i) for i in range(n)], style=style, industry=industry,
                       industry_names=[str(j) for j in range(n_ind)], cap=np.ones(n), factor_cov=cov,
                       specific_var=np.ones(n)).design(np.arange(n))
        want = ((design @ cov) * design).sum(axis=1)
        np.testing.assert_allclose(factor_variance(style, industry, cov), want, rtol=1e-12)

    def test_a_bad_id_is_still_refused_when_the_universe_holds_one(self, tmp_path):
        from types import SimpleNamespace

        from velquor.const import STYLE_FACTORS, CovModel, RiskModel
        from velquor.riskmodel import service
        from velquor.riskmodel.store import Store

        uni = SimpleNamespace(ids=np.array(["000001.XSHE", "60 0000.XSHG", "600001.XSHG"]), industry_names=["a"],
                              dates=np.array(["2025-06-03"], dtype="datetime64[D]"))
        ctx = service.Context(db_path=tmp_path / "x.duckdb", universe=uni, store=Store(tmp_path / "est"))
        k = 2 + len(STYLE_FACTORS)
        est = pipeline.Estimate(asof=0, rows=np.array([0, 2]), style=np.zeros((2, len(STYLE_FACTORS)), np.float32),
                                industry=np.zeros(2, np.int64), cap=np.ones(2), factor_cov=np.eye(k) * 1e-4,
                                specific_var=np.full(2, 1e-4))
        sink = service._Sink(ctx)
        assert not sink.ids_ok  # the universe holds an id a file cannot list: every date is checked
        sink.day([(est, CovModel.FACTOR_MODEL_DAILY, RiskModel.V1)])  # without it, the date is stored
        assert ctx.store.read("2025-06-03", CovModel.FACTOR_MODEL_DAILY, RiskModel.V1) is not None
        est.rows = np.array([0, 1])
        with pytest.raises(ValueError, match="whitespace"):
            sink.day([(est, CovModel.FACTOR_MODEL_DAILY, RiskModel.V2)])
