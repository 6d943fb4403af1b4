/// Binds the input functions of the optimize module, in the order of its public names.
#include "optimize/input.hpp"

namespace velquor::optimize {

namespace {

void def(nb::module_ &m, const char *name, std::vector<std::string> params, pyapi::Impl impl, pyapi::Reads reads,
         std::source_location where = std::source_location::current()) {
    pyapi::Signature sig;
    sig.positional = std::move(params);
    pyapi::define(m, {name, std::move(sig), impl, nullptr, where, std::move(reads)});
}

}  // namespace

void bind_input_functions(nb::module_ &m) {
    using namespace input;
    def(m, "to_enum", {"v", "enum_type"}, &to_enum, {{"v", at::v}, {"enum_type", at::enum_type}});
    def(m, "to_date", {"dt"}, &to_date, {{"dt", at::dt}});
    def(m, "ensure_date_str", {"date"}, &ensure_date_str, {{"date", at::date_str_date}});
    def(m, "ensure_order_book_ids", {"order_book_ids", "date"}, &ensure_order_book_ids,
        {{"order_book_ids", at::order_book_ids}, {"date", at::screening_date}});
    def(m, "ensure_bound", {"v"}, &ensure_bound, {{"v", at::bound}});
    def(m, "parse_bnds", {"bnds", "order_book_ids"}, &parse_bnds, {{"bnds", at::bnds}, {"order_book_ids", at::bnds_pool}});
}

}  // namespace velquor::optimize
