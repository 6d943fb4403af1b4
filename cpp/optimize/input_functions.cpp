/// Binds the input functions of the optimize module, in the order of its public names.
#include "optimize/input.hpp"

namespace velquor::optimize {

namespace {

void def(nb::module_ &m, const char *name, std::vector<std::string> params, pyapi::Impl impl,
         std::source_location where = std::source_location::current()) {
    pyapi::Signature sig;
    sig.positional = std::move(params);
    pyapi::define(m, {name, std::move(sig), impl, nullptr, where});
}

}  // namespace

void bind_input_functions(nb::module_ &m) {
    def(m, "to_enum", {"v", "enum_type"}, &input::to_enum);
    def(m, "to_date", {"dt"}, &input::to_date);
    def(m, "ensure_date_str", {"date"}, &input::ensure_date_str);
    def(m, "ensure_order_book_ids", {"order_book_ids", "date"}, &input::ensure_order_book_ids);
    def(m, "ensure_bound", {"v"}, &input::ensure_bound);
    def(m, "parse_bnds", {"bnds", "order_book_ids"}, &input::parse_bnds);
}

}  // namespace velquor::optimize
