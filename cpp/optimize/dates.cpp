/// Dates and enumeration values as the driver needs them.
#include "optimize/input.hpp"

namespace velquor::optimize::input {

nb::object to_date(pyapi::Arguments &a) {
    auto m = self();
    nb::handle dt = a[at::dt];
    nb::object datetime = m.attr("datetime");
    // datetime first: a datetime is also a date. The time and any zone are dropped as written.
    if (pyapi::isinstance(dt, pyapi::attr(datetime, "datetime"))) return pyapi::call_method(dt, "date");
    if (pyapi::isinstance(dt, pyapi::attr(datetime, "date"))) return nb::borrow(dt);
    if (pyapi::isinstance(dt, m.attr("str"))) return m.attr("parse_datetime")(dt).attr("date")();
    // "expect a datetime like object, got " + repr(type(dt)) + "(" + repr(dt) + ")"
    nb::object text = pyapi::format("expect a datetime like object, got {!r}({!r})",
                                    {dt.type(), dt});
    invalid(m, text);
}

nb::object ensure_date_str(pyapi::Arguments &a) {
    // to_date as bound in the module now, like a global lookup in Python.
    nb::object d = self().attr("to_date")(a[at::date_str_date]);
    return pyapi::format("{:04d}-{:02d}-{:02d}",
                         {pyapi::attr(d, "year"), pyapi::attr(d, "month"), pyapi::attr(d, "day")});
}

nb::object to_enum(pyapi::Arguments &a) {
    nb::handle v = a[at::v], enum_type = a[at::enum_type];
    if (pyapi::isinstance(v, enum_type)) return nb::borrow(v);
    nb::object items = pyapi::call_method(pyapi::attr(enum_type, "__members__"), "items");
    for (nb::handle item : items) {
        std::vector<nb::object> pair = pyapi::unpack(item, 2);
        nb::object &member = pair[1];
        // `v == member or v == member.value`: the operators' own results tested for truth (no identity
        // shortcut, so a NaN value matches nothing).
        if (pyapi::truthy(pyapi::richcompare(v, member, pyapi::Cmp::eq))) return member;
        if (pyapi::truthy(pyapi::richcompare(v, pyapi::attr(member, "value"), pyapi::Cmp::eq))) return member;
    }
    invalid(self(), pyapi::format("invalid value {} for {}", {v, enum_type.attr("__name__")}));
}

}  // namespace velquor::optimize::input
