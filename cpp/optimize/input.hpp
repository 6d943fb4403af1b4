/// The input functions of the optimize module: coercion of dates and enumerations, pool screening, bounds.
#pragma once

#include "optimize/module.hpp"

namespace velquor::optimize::input {

/// `raise InvalidArgument(message)` with the class bound in the module namespace now.
[[noreturn]] inline void invalid(const pyapi::Globals &m, nb::handle message) {
    pyapi::raise(m.attr("InvalidArgument"), message);
}

/// Where each input function reads its parameters; checked against the names when the functions are defined.
namespace at {
inline constexpr pyapi::Param dt{0};                                   // to_date
inline constexpr pyapi::Param date_str_date{0};                        // ensure_date_str
inline constexpr pyapi::Param v{0}, enum_type{1};                      // to_enum
inline constexpr pyapi::Param order_book_ids{0}, screening_date{1};    // ensure_order_book_ids
inline constexpr pyapi::Param bound{0};                                // ensure_bound
inline constexpr pyapi::Param bnds{0}, bnds_pool{1};                   // parse_bnds
}  // namespace at

/// `to_date(dt)`: a datetime, date or date text as a calendar date.
nb::object to_date(pyapi::Arguments &a);
/// `ensure_date_str(date)`: the date text YYYY-MM-DD.
nb::object ensure_date_str(pyapi::Arguments &a);
/// `to_enum(v, enum_type)`: the member of `enum_type` that equals `v` or whose value equals `v`.
nb::object to_enum(pyapi::Arguments &a);
/// `ensure_order_book_ids(order_book_ids, date)`: the screened pool, sorted, each identifier once.
nb::object ensure_order_book_ids(pyapi::Arguments &a);
/// `ensure_bound(v)`: None, or the bound as a float.
nb::object ensure_bound(pyapi::Arguments &a);
/// `parse_bnds(bnds, order_book_ids)`: lower and upper bound arrays in pool order.
nb::object parse_bnds(pyapi::Arguments &a);

}  // namespace velquor::optimize::input
