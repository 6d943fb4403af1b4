/// TurnoverLimit: one-way turnover from the current holdings, cash included.
#include "constraint/constraint.hpp"

namespace velquor::constraint {

namespace {

using namespace nb::literals;

constexpr const char *kOwner = "TurnoverLimit";

constexpr const char *kDoc =
    "Upper limit on the one-way turnover from the current holdings.\n"
    "\n"
    "``0.5 * (sum |w_i - h_i| + (1 - sum h)) <= upper_limit``, the sum running over the pool and the\n"
    "holdings: holdings outside the pool are sold, and the part of 1 the holdings leave is cash, which\n"
    "the new portfolio invests. Selling everything for other stocks is a turnover of 1.\n"
    "\n"
    ":param current_holdings: weight per order_book_id (a Series or a mapping); nonnegative, summing to 1\n"
    "    at most\n"
    ":param upper_limit: the largest one-way turnover, in [0, 1]\n"
    ":param hard: False makes the constraint soft\n";

namespace init_at {
constexpr pyapi::Param holdings{1}, limit{2}, hard{3};
}

nb::object init(pyapi::Arguments &a) {
    nb::handle self = a[method::self];
    nb::setattr(self, "current_holdings", check_holdings(kOwner, a[init_at::holdings]));
    nb::setattr(self, "upper_limit", check_limit(kOwner, "upper_limit", a[init_at::limit], Range{0.0, 1.0}, false));
    nb::setattr(self, "hard", a[init_at::hard]);
    return nb::none();
}

nb::object to_constraints(pyapi::Arguments &a) {
    nb::handle self = a[method::self], g = a[method::g], zeta = a[method::zeta], helper = a[method::helper];
    nb::object h = self.attr("current_holdings")
                       .attr("reindex")(helper.attr("order_book_ids"), "fill_value"_a = 0.0)
                       .attr("to_numpy")("dtype"_a = builtin("float"));
    // Holdings outside the pool are sold in full and the cash is invested in full, so together they add
    // 1 - sum(h over the pool) to sum |w - h|: 0.5 * sum_pool |w - h| <= limit - 0.5 * (1 - sum_pool h).
    double held = nb::cast<double>(builtin("float")(h.attr("sum")()));
    double room = nb::cast<double>(self.attr("upper_limit")) - 0.5 * (1.0 - held);
    nb::object trades = pyapi::sub(g, scaled(zeta, h));
    nb::object lhs = pyapi::mul(nb::float_(0.5), global("cp").attr("norm1")(trades));
    nb::list out;
    out.append(pyapi::richcompare(lhs, scaled(zeta, nb::float_(room)), pyapi::Cmp::le));
    return out;
}

}  // namespace

void bind_turnover(nb::module_ &m) {
    nb::object cls = make_constraint_class(m, "TurnoverLimit", kDoc);
    def_init(cls, {{"current_holdings", init_at::holdings}, {"upper_limit", init_at::limit},
                   {"hard", init_at::hard, nb::bool_(true)}}, init);
    def_to_constraints(cls, to_constraints);
}

}  // namespace velquor::constraint
