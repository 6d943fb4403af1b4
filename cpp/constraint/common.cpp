/// What the constraints read from the helper, and the homogenised two-sided rows they share.
#include "constraint/constraint.hpp"

namespace velquor::constraint {

using namespace nb::literals;

void require_benchmark(const char *owner, nb::handle helper) {
    if (helper.attr("benchmark").is_none())
        invalid(pyapi::format("{} needs a benchmark: pass benchmark= to portfolio_optimize", {nb::str(owner)}));
}

Py_ssize_t pool_size(nb::handle helper) { return nb::len(pyapi::attr(helper, "order_book_ids")); }

nb::object benchmark_weights(nb::handle helper) {
    return helper.attr("benchmark_weight").attr("to_numpy")("dtype"_a = builtin("float"));
}

nb::object benchmark_portfolio(nb::handle helper) {
    nb::object b = benchmark_weights(helper);
    nb::object total = b.attr("sum")();
    // Without a benchmark (or with an empty one) the weights are all zero and stay so.
    if (pyapi::compare(total, nb::float_(0.0), pyapi::Cmp::eq)) return b;
    return pyapi::truediv(b, total);
}

nb::object union_weights(nb::handle g, nb::handle helper) {
    Py_ssize_t outside = nb::len(pyapi::attr(helper, "union_components")) - pool_size(helper);
    if (outside <= 0) return nb::borrow(g);
    nb::list parts;
    parts.append(g);
    parts.append(global("np").attr("zeros")(outside));
    return global("cp").attr("hstack")(parts);
}

nb::object scaled(nb::handle zeta, nb::handle values) { return pyapi::mul(zeta, values); }

void append_two_sided(nb::list &out, nb::handle lhs, nb::handle zeta, nb::handle lower, nb::handle upper,
                      nb::handle offset) {
    auto limit = [&](nb::handle bound) -> nb::object {
        nb::object v = nb::borrow(bound);
        if (offset.is_valid()) v = pyapi::add(offset, v);
        return scaled(zeta, v);
    };
    if (!lower.is_none()) out.append(pyapi::richcompare(lhs, limit(lower), pyapi::Cmp::ge));
    if (!upper.is_none()) out.append(pyapi::richcompare(lhs, limit(upper), pyapi::Cmp::le));
}

}  // namespace velquor::constraint
