/// Argument checks shared by the constructors: limits, bounds, name lists, classifications, styles.
#include "constraint/constraint.hpp"

#include <cmath>

namespace velquor::constraint {

using namespace nb::literals;

namespace {

/// "a finite number", "a finite number >= 0", "a finite number in [0, 1]".
std::string describe(Range range) {
    auto num = [](double v) {
        std::string s = std::to_string(v);
        s.erase(s.find_last_not_of('0') + 1);
        if (!s.empty() && s.back() == '.') s.pop_back();
        return s;
    };
    if (range.lo && range.hi) return "a finite number in [" + num(*range.lo) + ", " + num(*range.hi) + "]";
    if (range.lo) return "a finite number >= " + num(*range.lo);
    if (range.hi) return "a finite number <= " + num(*range.hi);
    return "a finite number";
}

nb::object enum_texts(nb::handle enum_cls) {
    nb::list texts;
    for (nb::handle member : enum_cls) texts.append(member.attr("value"));
    return texts;
}

}  // namespace

nb::object check_limit(const char *owner, const char *name, nb::handle value, Range range, bool allow_none) {
    if (value.is_none() && allow_none) return nb::none();
    std::string expected = describe(range);
    if (allow_none) expected += " or None";
    auto reject = [&]() {
        invalid(pyapi::format("{}: {} must be {}, got {!r}", {nb::str(owner), nb::str(name), nb::str(expected.c_str()),
                                                              value}));
    };
    // A bool is an int to Python, but `True` as a limit is a slip, not 1.
    if (nb::isinstance<nb::bool_>(value) || !pyapi::isinstance(value, nb::module_::import_("numbers").attr("Real")))
        reject();
    double v = nb::cast<double>(builtin("float")(value));
    if (!std::isfinite(v) || (range.lo && v < *range.lo) || (range.hi && v > *range.hi)) reject();
    return nb::float_(v);
}

std::pair<nb::object, nb::object> check_bounds(const char *owner, nb::handle lower, nb::handle upper, Range range) {
    nb::object lo = check_limit(owner, "lower_limit", lower, range, true);
    nb::object hi = check_limit(owner, "upper_limit", upper, range, true);
    if (lo.is_none() && hi.is_none())
        invalid(pyapi::format("{}: give lower_limit, upper_limit or both", {nb::str(owner)}));
    if (!lo.is_none() && !hi.is_none() && pyapi::compare(lo, hi, pyapi::Cmp::gt))
        invalid(pyapi::format("{}: lower_limit {} is above upper_limit {}", {nb::str(owner), lo, hi}));
    return {lo, hi};
}

nb::list text_list(const char *owner, const char *name, nb::handle value, bool allow_empty) {
    nb::list out;
    if (nb::isinstance<nb::str>(value)) {
        out.append(value);
    } else {
        nb::object items;
        try {
            items = builtin("list")(value);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_TypeError)) throw;
            invalid(pyapi::format("{}: {} must be a text or a list of texts, got {!r}", {nb::str(owner), nb::str(name),
                                                                                        value}));
        }
        for (nb::handle item : items) {
            if (!nb::isinstance<nb::str>(item))
                invalid(pyapi::format("{}: {} must be a text or a list of texts, got {!r} in it",
                                      {nb::str(owner), nb::str(name), item}));
            // Repeats would only repeat constraint rows.
            if (!pyapi::truthy(out.attr("__contains__")(item))) out.append(item);
        }
    }
    if (!allow_empty && nb::len(out) == 0)
        invalid(pyapi::format("{}: {} must name at least one", {nb::str(owner), nb::str(name)}));
    return out;
}

nb::object check_classification(const char *owner, nb::handle value) {
    nb::object enum_cls = global("IndustryClassification");
    if (pyapi::isinstance(value, enum_cls)) return nb::borrow(value);
    if (nb::isinstance<nb::str>(value)) {
        nb::object text = value.attr("lower")();
        for (nb::handle member : enum_cls)
            if (pyapi::compare(text, member.attr("value"), pyapi::Cmp::eq) ||
                pyapi::compare(text, member.attr("name").attr("lower")(), pyapi::Cmp::eq))
                return nb::borrow(member);
    }
    invalid(pyapi::format("{}: classification must be one of {}, got {!r}", {nb::str(owner), enum_texts(enum_cls), value}));
}

nb::list industry_codes(const char *owner, nb::handle names, nb::handle classification) {
    // Code -> name under the scheme, as the market data stores it.
    nb::object table = global("zorvata").attr("get_industry_names")(classification.attr("value"));
    nb::object codes = table.attr("index").attr("tolist")();
    nb::object labels = table.attr("tolist")();
    nb::list out;
    for (nb::handle name : names) {
        nb::object code;
        if (pyapi::truthy(codes.attr("__contains__")(name))) {
            code = nb::borrow(name);
        } else if (pyapi::truthy(labels.attr("__contains__")(name))) {
            code = pyapi::getitem(codes, labels.attr("index")(name));
        } else {
            nb::list valid;
            for (nb::handle c : codes) valid.append(pyapi::format("{} ({})", {c, pyapi::getitem(table, c)}));
            invalid(pyapi::format("{}: unknown industry {!r} under classification {!r}; valid industries: {}",
                                  {nb::str(owner), name, classification.attr("value"),
                                   nb::str(", ").attr("join")(valid)}));
        }
        if (!pyapi::truthy(out.attr("__contains__")(code))) out.append(code);
    }
    return out;
}

nb::list check_styles(const char *owner, const char *name, nb::handle styles, bool allow_empty) {
    nb::list out = text_list(owner, name, styles, allow_empty);
    nb::object valid = global("STYLE_FACTORS");
    for (nb::handle style : out)
        if (!pyapi::truthy(valid.attr("__contains__")(style)))
            invalid(pyapi::format("{}: unknown style {!r}; valid styles: {}",
                                  {nb::str(owner), style, nb::str(", ").attr("join")(valid)}));
    return out;
}

nb::object check_holdings(const char *owner, nb::handle value) {
    nb::object pd = global("pd"), np = global("np");
    nb::object series;
    try {
        series = pyapi::isinstance(value, pd.attr("Series")) ? nb::borrow(value) : pd.attr("Series")(value);
        series = pd.attr("to_numeric")(series, "errors"_a = "raise").attr("astype")(builtin("float"));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        pyapi::raise_in_handler(global("InvalidArgument"),
                                pyapi::format("{}: current_holdings must be a Series of weights by order_book_id",
                                              {nb::str(owner)}),
                                e);
    }
    nb::object index = series.attr("index");
    if (pyapi::truthy(index.attr("has_duplicates")))
        invalid(pyapi::format("{}: current_holdings name an order_book_id more than once: {}",
                              {nb::str(owner), pyapi::getitem(index, index.attr("duplicated")()).attr("tolist")()}));
    nb::object values = series.attr("to_numpy")();
    nb::object bad = np.attr("logical_not")(np.attr("isfinite")(values));
    if (pyapi::truthy(bad.attr("any")()))
        invalid(pyapi::format("{}: current_holdings must be finite, got {} for {}",
                              {nb::str(owner), pyapi::getitem(values, bad).attr("tolist")(),
                               pyapi::getitem(index, bad).attr("tolist")()}));
    nb::object negative = pyapi::richcompare(values, nb::float_(0.0), pyapi::Cmp::lt);
    if (pyapi::truthy(negative.attr("any")()))
        invalid(pyapi::format("{}: current_holdings must be nonnegative, got {} for {}",
                              {nb::str(owner), pyapi::getitem(values, negative).attr("tolist")(),
                               pyapi::getitem(index, negative).attr("tolist")()}));
    nb::object total = builtin("float")(values.attr("sum")());
    // Weights read back from a file rarely sum to 1 exactly.
    if (pyapi::compare(total, nb::float_(1.0 + 1e-9), pyapi::Cmp::gt))
        invalid(pyapi::format("{}: current_holdings sum to {}, above 1", {nb::str(owner), total}));
    return series;
}

}  // namespace velquor::constraint
