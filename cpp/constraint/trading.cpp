/// TradabilityConstraint and LiquidityLimit: what the exchange and the market's depth let a rebalance trade.
#include "constraint/constraint.hpp"

namespace velquor::constraint {

namespace {

using namespace nb::literals;

constexpr const char *kTradability = "TradabilityConstraint";
constexpr const char *kLiquidity = "LiquidityLimit";

constexpr const char *kTradabilityDoc =
    "What the exchange lets a rebalance on the request date trade, from the current holdings.\n"
    "\n"
    "- A stock suspended on the request date keeps its current weight (suspensions are announced before\n"
    "  the open, so the rule reads the request date's flag).\n"
    "- A stock that closed at its upper price limit on the previous trading day is not bought above its\n"
    "  current weight; one that closed at its lower limit is not sold below it.\n"
    "- With ``exclude_st``, a stock under special treatment on the request date (ST periods are announced\n"
    "  in advance) is not bought above its current weight.\n"
    "\n"
    "Rules apply to the pool's stocks; a holding outside the pool is sold whatever the flags say, so a\n"
    "backtest keeps such names in the pool. The flags come from ``zorvata.get_daily_flags`` and\n"
    "``zorvata.get_st_status``.\n"
    "\n"
    ":param current_holdings: weight per order_book_id (a Series or a mapping); nonnegative, summing to 1\n"
    "    at most\n"
    ":param exclude_st: True keeps ST stocks from being bought\n"
    ":param hard: False makes the constraint soft\n";

constexpr const char *kLiquidityDoc =
    "Upper limit on the traded value of each stock as a fraction of its average daily traded value.\n"
    "\n"
    "``capital * |w_i - h_i| <= upper_limit * ADV_i`` for every stock of the pool, with ``ADV_i`` the mean\n"
    "traded value over the days it traded among the ``window`` trading days that end on the previous\n"
    "trading day (``zorvata.get_daily_bars``). A stock without a trade in the window keeps its current\n"
    "weight.\n"
    "\n"
    ":param capital: the portfolio's value in money, > 0\n"
    ":param upper_limit: the largest traded value per stock as a fraction of its daily traded value, > 0\n"
    ":param current_holdings: weight per order_book_id (a Series or a mapping), or None for all cash\n"
    ":param window: trading days of the average, an integer >= 1\n"
    ":param hard: False makes the constraint soft\n";

/// The holdings over the pool, in pool order (zeros for the stocks not held).
nb::object pool_holdings(nb::handle self, nb::handle helper) {
    nb::object held = self.attr("current_holdings");
    if (held.is_none()) return global("np").attr("zeros")(pool_size(helper));
    return held.attr("reindex")(helper.attr("order_book_ids"), "fill_value"_a = 0.0)
        .attr("to_numpy")("dtype"_a = builtin("float"));
}

/// A flag column of the market's answer as a bool array in pool order.
nb::object flag(nb::handle flags, const char *name) {
    return pyapi::getitem(flags, nb::str(name)).attr("to_numpy")("dtype"_a = builtin("bool"));
}

/// Appends `g[i] <op> zeta * h[i]` over the positions where `mask` holds (nothing when it holds nowhere).
void append_rows(nb::list &out, nb::handle g, nb::handle zeta, nb::handle h, nb::handle mask, pyapi::Cmp op) {
    nb::object at = global("np").attr("flatnonzero")(mask);
    if (nb::len(at) == 0) return;
    out.append(pyapi::richcompare(pyapi::getitem(g, at), scaled(zeta, pyapi::getitem(h, at)), op));
}

namespace tradability_at {
constexpr pyapi::Param holdings{1}, exclude_st{2}, hard{3};
}

nb::object tradability_init(pyapi::Arguments &a) {
    nb::handle self = a[method::self];
    nb::setattr(self, "current_holdings", check_holdings(kTradability, a[tradability_at::holdings]));
    nb::setattr(self, "exclude_st", nb::bool_(pyapi::truthy(a[tradability_at::exclude_st])));
    nb::setattr(self, "hard", a[tradability_at::hard]);
    return nb::none();
}

nb::object tradability_constraints(pyapi::Arguments &a) {
    nb::handle self = a[method::self], g = a[method::g], zeta = a[method::zeta], helper = a[method::helper];
    nb::object np = global("np");
    nb::object h = pool_holdings(self, helper);
    nb::object flags = global("market").attr("request_flags")(helper.attr("order_book_ids"), helper.attr("date"));
    nb::object suspended = flag(flags, "suspended");
    nb::object trading = np.attr("logical_not")(suspended);
    nb::object no_buy = flag(flags, "limit_up");
    if (pyapi::truthy(self.attr("exclude_st"))) no_buy = np.attr("logical_or")(no_buy, flag(flags, "st"));
    nb::list out;
    append_rows(out, g, zeta, h, suspended, pyapi::Cmp::eq);
    append_rows(out, g, zeta, h, np.attr("logical_and")(no_buy, trading), pyapi::Cmp::le);
    append_rows(out, g, zeta, h, np.attr("logical_and")(flag(flags, "limit_down"), trading), pyapi::Cmp::ge);
    return out;
}

namespace liquidity_at {
constexpr pyapi::Param capital{1}, limit{2}, holdings{3}, window{4}, hard{5};
}

nb::object liquidity_init(pyapi::Arguments &a) {
    nb::handle self = a[method::self];
    nb::object capital = check_limit(kLiquidity, "capital", a[liquidity_at::capital], Range{0.0, {}}, false);
    if (nb::cast<double>(capital) <= 0.0)
        invalid(pyapi::format("{}: capital must be above 0, got {!r}", {nb::str(kLiquidity), capital}));
    nb::object limit = check_limit(kLiquidity, "upper_limit", a[liquidity_at::limit], Range{0.0, {}}, false);
    if (nb::cast<double>(limit) <= 0.0)
        invalid(pyapi::format("{}: upper_limit must be above 0, got {!r}", {nb::str(kLiquidity), limit}));
    nb::handle window = a[liquidity_at::window];
    if (nb::isinstance<nb::bool_>(window) || !pyapi::isinstance(window, nb::module_::import_("numbers").attr("Integral")) ||
        pyapi::compare(window, nb::int_(1), pyapi::Cmp::lt))
        invalid(pyapi::format("{}: window must be an integer >= 1, got {!r}", {nb::str(kLiquidity), window}));
    nb::handle held = a[liquidity_at::holdings];
    nb::setattr(self, "capital", capital);
    nb::setattr(self, "upper_limit", limit);
    nb::setattr(self, "current_holdings", held.is_none() ? nb::none() : check_holdings(kLiquidity, held));
    nb::setattr(self, "window", builtin("int")(window));
    nb::setattr(self, "hard", a[liquidity_at::hard]);
    return nb::none();
}

nb::object liquidity_constraints(pyapi::Arguments &a) {
    nb::handle self = a[method::self], g = a[method::g], zeta = a[method::zeta], helper = a[method::helper];
    nb::object np = global("np");
    nb::object h = pool_holdings(self, helper);
    nb::object liq = global("market").attr("liquidity")(helper.attr("order_book_ids"), helper.attr("date"),
                                                        self.attr("window"));
    nb::object adv = pyapi::getitem(liq, nb::str("adv")).attr("to_numpy")("dtype"_a = builtin("float"));
    // The weight each stock may move: a stock that did not trade in the window may not move at all.
    nb::object room = np.attr("nan_to_num")(
        pyapi::truediv(pyapi::mul(adv, self.attr("upper_limit")), self.attr("capital")), "nan"_a = 0.0);
    nb::list out;
    out.append(pyapi::richcompare(g, scaled(zeta, pyapi::add(h, room)), pyapi::Cmp::le));
    out.append(pyapi::richcompare(g, scaled(zeta, pyapi::sub(h, room)), pyapi::Cmp::ge));
    return out;
}

}  // namespace

void bind_trading(nb::module_ &m) {
    nb::object cls = make_constraint_class(m, kTradability, kTradabilityDoc);
    def_init(cls, {{"current_holdings", tradability_at::holdings}, {"exclude_st", tradability_at::exclude_st, nb::bool_(false)},
                   {"hard", tradability_at::hard, nb::bool_(true)}}, tradability_init);
    def_to_constraints(cls, tradability_constraints);

    cls = make_constraint_class(m, kLiquidity, kLiquidityDoc);
    def_init(cls, {{"capital", liquidity_at::capital}, {"upper_limit", liquidity_at::limit, nb::float_(0.1)},
                   {"current_holdings", liquidity_at::holdings, nb::none()}, {"window", liquidity_at::window, nb::int_(20)},
                   {"hard", liquidity_at::hard, nb::bool_(true)}}, liquidity_init);
    def_to_constraints(cls, liquidity_constraints);
}

}  // namespace velquor::constraint
