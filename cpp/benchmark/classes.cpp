/// The benchmark interface that callers subclass, and the benchmark of an index read from the client.
#include "benchmark/benchmark.hpp"

#include <algorithm>

namespace velquor::benchmark {

namespace {

constexpr const char *MODULE = "velquor.benchmark";

constexpr const char *GET_WEIGHT_DOC = R"(
        获取 date 日期的持仓权重。此函数必需实现。

        :param date: datetime.date
        :return: pd.Series, index 为order_book_id
        )";

constexpr const char *GET_EXPECTED_RETURNS_DOC = R"(
        获得 date 日期的年化期望收益。
        仅当使用 :class:`MaxInformationRatio` / :class:`ActiveMeanVariance` 目标函数，
        且不指定 `expected_active_returns` 时需要实现此函数

        :param date: datetime.date
        :param window: 回溯窗口大小
        :return: float
        )";

/// Where the methods read their parameters; `method` checks each parameter it declares against this table.
constexpr pyapi::Param SELF{0}, ORDER_BOOK_ID{1}, DATE{1}, WINDOW{2};

/// A method of class `cls`: `def name(self, <params>, <defaulted>=...)`, for the class body under construction.
nb::object method(const char *cls, const char *name, std::vector<std::string> params, std::vector<nb::object> defaults,
                  pyapi::Impl impl, const char *doc = nullptr,
                  std::source_location where = std::source_location::current()) {
    pyapi::Signature sig;
    sig.positional = std::move(params);
    sig.defaults = std::move(defaults);
    for (auto [pname, pos] : {std::pair{"self", SELF}, {"order_book_id", ORDER_BOOK_ID}, {"date", DATE},
                              {"window", WINDOW}})
        if (std::find(sig.positional.begin(), sig.positional.end(), pname) != sig.positional.end())
            sig.expect(pname, pos);
    return pyapi::define_detached(MODULE, cls, {name, std::move(sig), impl, doc, where});
}

/// `type(name, bases, namespace)`, as a class statement without a metaclass builds it.
nb::object make_type(const char *name, nb::handle bases, nb::dict ns, const char *doc) {
    nb::dict body;
    body["__module__"] = nb::str(MODULE);
    body["__qualname__"] = nb::str(name);
    if (doc) body["__doc__"] = nb::str(doc);
    for (auto [key, value] : ns) body[key] = value;
    return nb::module_::import_("builtins").attr("type")(nb::str(name), bases, body);
}

// OptimizeBenchmark: both operations are for subclasses to provide; `raise NotImplementedError`.
nb::object abstract_operation(pyapi::Arguments &) { pyapi::raise_bare(PyExc_NotImplementedError); }

// IndexBenchmark

nb::object index_init(pyapi::Arguments &a) {
    auto m = self();
    nb::handle instance = a[SELF], order_book_id = a[ORDER_BOOK_ID];
    nb::object instrument = m.attr("zorvata").attr("instruments")(order_book_id);
    if (instrument.is_none())
        pyapi::raise(m.attr("InvalidArgument"), pyapi::format("无效的 benchmark: {}", {order_book_id}));
    if (pyapi::compare(instrument.attr("type"), nb::str("INDX"), pyapi::Cmp::ne))
        pyapi::raise(m.attr("InvalidArgument"), pyapi::format("仅支持指数类型的 benchmark, 传入的 benchmark 是 {} 类型",
                                                              {instrument.attr("type")}));
    // The identifier as passed, not the record's.
    instance.attr("_order_book_id") = order_book_id;
    return nb::none();
}

nb::object index_get_weight(pyapi::Arguments &a) {
    auto m = self();
    nb::object client = m.attr("zorvata");
    nb::object order_book_id = a[SELF].attr("_order_book_id");
    nb::handle date = a[DATE];
    nb::object result = nb::none();
    // The extended operation is optional and looked up on every call; whatever goes wrong with it, the plain
    // one answers. Only errors (Exception) are swallowed: an interrupt or exit still ends the call.
    nb::object extended = pyapi::getattr_or_none(client, "index_weights_ex");
    if (extended.is_valid() && !extended.is_none()) {
        try {
            result = extended(order_book_id, date);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception)) throw;
            result = nb::none();
        }
    }
    if (result.is_none()) result = client.attr("index_weights")(order_book_id, date);
    return result;
}

nb::object index_get_expected_returns(pyapi::Arguments &a) {
    auto m = self();
    nb::object client = m.attr("zorvata");
    nb::handle instance = a[SELF], date = a[DATE], window = a[WINDOW];
    nb::object start_date = client.attr("trading_date_offset")(date, pyapi::neg(window));
    nb::object rates = client.attr("get_price_change_rate")(instance.attr("_order_book_id"), start_date, date);
    nb::object mean = pyapi::getitem(rates, instance.attr("_order_book_id")).attr("mean")();
    // Annualised with 252 trading days, whatever the window.
    return pyapi::mul(mean, nb::int_(252));
}

}  // namespace

void bind_classes(nb::module_ &m) {
    nb::object abstractmethod = m.attr("abstractmethod");
    nb::object object_type = nb::module_::import_("builtins").attr("object");

    nb::dict base_ns;
    base_ns["get_weight"] = abstractmethod(
        method("OptimizeBenchmark", "get_weight", {"self", "date"}, {}, &abstract_operation, GET_WEIGHT_DOC));
    base_ns["get_expected_returns"] = abstractmethod(method("OptimizeBenchmark", "get_expected_returns",
                                                            {"self", "date", "window"}, {nb::int_(252)},
                                                            &abstract_operation, GET_EXPECTED_RETURNS_DOC));
    nb::object base = make_type("OptimizeBenchmark", nb::make_tuple(object_type), base_ns, "自定义基准抽象类");
    m.attr("OptimizeBenchmark") = base;

    nb::dict index_ns;
    index_ns["__init__"] = method("IndexBenchmark", "__init__", {"self", "order_book_id"}, {}, &index_init);
    index_ns["get_weight"] = method("IndexBenchmark", "get_weight", {"self", "date"}, {}, &index_get_weight);
    index_ns["get_expected_returns"] = method("IndexBenchmark", "get_expected_returns", {"self", "date", "window"},
                                              {nb::int_(252)}, &index_get_expected_returns);
    m.attr("IndexBenchmark") = make_type("IndexBenchmark", nb::make_tuple(base), index_ns, nullptr);
}

}  // namespace velquor::benchmark
