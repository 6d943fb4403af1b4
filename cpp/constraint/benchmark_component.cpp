/// BenchmarkComponentWeightLimit: a floor on the total weight of the benchmark's constituents.
#include "constraint/constraint.hpp"

namespace velquor::constraint {

namespace {

constexpr const char *kOwner = "BenchmarkComponentWeightLimit";

constexpr const char *kDoc =
    "Lower limit on the total weight of the pool's stocks that are constituents of the benchmark.\n"
    "\n"
    "Needs a benchmark.\n"
    "\n"
    ":param lower_limit: the smallest total weight of constituents, in [0, 1]\n"
    ":param hard: False makes the constraint soft\n";

namespace init_at {
constexpr pyapi::Param limit{1}, hard{2};
}

nb::object init(pyapi::Arguments &a) {
    nb::handle self = a[method::self];
    nb::setattr(self, "lower_limit", check_limit(kOwner, "lower_limit", a[init_at::limit], Range{0.0, 1.0}, false));
    nb::setattr(self, "hard", a[init_at::hard]);
    return nb::none();
}

nb::object to_constraints(pyapi::Arguments &a) {
    nb::handle self = a[method::self], g = a[method::g], zeta = a[method::zeta], helper = a[method::helper];
    require_benchmark(kOwner, helper);
    nb::object pool_part = pyapi::getitem(benchmark_weights(helper), nb::slice(nb::none(), nb::int_(pool_size(helper)),
                                                                               nb::none()));
    nb::object members = pyapi::richcompare(pool_part, nb::float_(0.0), pyapi::Cmp::gt).attr("astype")(builtin("float"));
    nb::list out;
    out.append(pyapi::richcompare(pyapi::matmul(members, g), scaled(zeta, self.attr("lower_limit")), pyapi::Cmp::ge));
    return out;
}

}  // namespace

void bind_benchmark_component(nb::module_ &m) {
    nb::object cls = make_constraint_class(m, "BenchmarkComponentWeightLimit", kDoc);
    def_init(cls, {{"lower_limit", init_at::limit}, {"hard", init_at::hard, nb::bool_(true)}}, init);
    def_to_constraints(cls, to_constraints);
}

}  // namespace velquor::constraint
