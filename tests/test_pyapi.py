"""The function objects and helpers of the C++ modules, seen through their public functions: argument
binding with the interpreter's texts, introspection, method binding, overrides, exception context and the
stack levels of warnings."""

import inspect
import types
import warnings

import pytest

import velquor.benchmark as bm
import velquor.optimize as opt
from velquor.benchmark import IndexBenchmark
from velquor.exception import InvalidArgument, OptimizerWarning

INPUT_FUNCTIONS = ["to_enum", "to_date", "ensure_date_str", "ensure_order_book_ids", "ensure_bound", "parse_bnds"]


@pytest.fixture
def index_client(monkeypatch):
    client = types.SimpleNamespace(instruments=lambda oid: types.SimpleNamespace(type="INDX"),
                                   index_weights=lambda oid, date: (oid, date))
    monkeypatch.setattr(bm, "zorvata", client)
    return client


def type_error(call):
    with pytest.raises(TypeError) as excinfo:
        call()
    return str(excinfo.value)


class TestArgumentErrors:
    @pytest.mark.parametrize("call, text", [
        (lambda: opt.to_date(), "to_date() takes exactly 1 positional argument (0 given)"),
        (lambda: opt.to_date(1, 2), "to_date() takes exactly 1 positional argument (2 given)"),
        (lambda: opt.parse_bnds({}), "parse_bnds() takes exactly 2 positional arguments (1 given)"),
        (lambda: opt.parse_bnds(order_book_ids=[]), "parse_bnds() takes exactly 2 positional arguments (0 given)"),
        (lambda: opt.parse_bnds({}, [], []), "parse_bnds() takes exactly 2 positional arguments (3 given)"),
        (lambda: opt.ensure_order_book_ids("A", date="d", order_book_ids="B"),
         "ensure_order_book_ids() got multiple values for keyword argument 'order_book_ids'"),
        # a missing argument is reported before a doubled one
        (lambda: opt.ensure_order_book_ids("A", order_book_ids="B"),
         "ensure_order_book_ids() takes exactly 2 positional arguments (1 given)"),
        (lambda: opt.to_date(date="2019-01-02"), "to_date() takes exactly 1 positional argument (0 given)"),
        (lambda: opt.to_date("2019-01-02", day=2), "to_date() got an unexpected keyword argument 'day'"),
        (lambda: opt.to_enum(v=1, enum_type=int, extra=0), "to_enum() got an unexpected keyword argument 'extra'"),
    ])
    def test_module_functions(self, call, text):
        assert type_error(call) == text

    @pytest.mark.parametrize("call, text", [
        (lambda b: b.get_expected_returns(), "get_expected_returns() takes at least 2 positional arguments (1 given)"),
        (lambda b: b.get_expected_returns(1, 2, 3), "get_expected_returns() takes at most 3 positional arguments (4 given)"),
        (lambda b: b.get_expected_returns(1, date=2),
         "get_expected_returns() got multiple values for keyword argument 'date'"),
        (lambda b: b.get_weight(), "get_weight() takes exactly 2 positional arguments (1 given)"),
        (lambda b: IndexBenchmark(), "__init__() takes exactly 2 positional arguments (1 given)"),
        (lambda b: IndexBenchmark("I", "J"), "__init__() takes exactly 2 positional arguments (3 given)"),
        (lambda b: IndexBenchmark(oid="I"), "__init__() takes exactly 2 positional arguments (1 given)"),
        (lambda b: IndexBenchmark("I", oid="I"), "__init__() got an unexpected keyword argument 'oid'"),
    ])
    def test_methods_count_the_instance(self, index_client, call, text):
        assert type_error(lambda: call(IndexBenchmark("I"))) == text

    def test_keywords_in_any_order(self, index_client):
        assert opt.parse_bnds(order_book_ids=["A"], bnds={})[1].tolist() == [1.0]
        assert IndexBenchmark("I").get_weight(date="d") == ("I", "d")

    def test_arguments_are_checked_before_the_body_runs(self, monkeypatch):
        calls = []
        monkeypatch.setattr(opt, "zorvata", types.SimpleNamespace(instruments=lambda ids: calls.append(ids)))
        with pytest.raises(TypeError):
            opt.ensure_order_book_ids(["A"], "2019-01-02", None)
        assert calls == []


class TestIntrospection:
    @pytest.mark.parametrize("name, text", [
        ("to_enum", "(v, enum_type)"), ("to_date", "(dt)"), ("ensure_date_str", "(date)"),
        ("ensure_order_book_ids", "(order_book_ids, date)"), ("ensure_bound", "(v)"),
        ("parse_bnds", "(bnds, order_book_ids)"),
    ])
    def test_signature(self, name, text):
        f = getattr(opt, name)
        assert str(inspect.signature(f)) == text
        assert f.__name__ == f.__qualname__ == name
        assert f.__module__ == "velquor.optimize"
        assert f.__defaults__ is None and f.__kwdefaults__ is None
        assert repr(f).startswith(f"<function {name} at ")

    def test_input_functions_bound_in_order(self):
        names = list(vars(opt))
        assert [n for n in names if n in INPUT_FUNCTIONS] == INPUT_FUNCTIONS
        assert names.index("DEBUG") < names.index("to_enum")

    def test_bound_method_signature_drops_self(self, index_client):
        b = IndexBenchmark("I")
        assert str(inspect.signature(b.get_expected_returns)) == "(date, window=252)"
        assert IndexBenchmark.get_weight.__qualname__ == "IndexBenchmark.get_weight"
        assert IndexBenchmark.get_expected_returns.__defaults__ == (252,)


class TestMethods:
    def test_function_binds_like_a_def_in_any_class(self, index_client):
        class Borrowing:
            get_weight = IndexBenchmark.get_weight

            def __init__(self):
                self._order_book_id = "X"

        assert Borrowing().get_weight("d") == ("X", "d")
        assert IndexBenchmark.__dict__["get_weight"].__get__(None, IndexBenchmark) is IndexBenchmark.get_weight

    def test_python_override_is_called_by_the_class_users(self, index_client):
        class Custom(IndexBenchmark):
            def get_weight(self, date):
                return ("override", super().get_weight(date))

        assert Custom("I").get_weight("d") == ("override", ("I", "d"))

    def test_init_overridden_and_chained(self, index_client):
        class Named(IndexBenchmark):
            def __init__(self, name, order_book_id):
                super().__init__(order_book_id)
                self.name = name

        b = Named("mine", "I")
        assert (b.name, b._order_book_id) == ("mine", "I")


class TestExceptionContext:
    def test_conversion_error_attached_as_context(self):
        with pytest.raises(InvalidArgument) as excinfo:
            opt.parse_bnds({"A": 0.5}, ["A"])
        context = excinfo.value.__context__
        assert isinstance(context, TypeError) and str(context) == "cannot unpack non-iterable float object"

    def test_context_survives_a_callers_except_block(self):
        # Called while the caller handles another exception, the chain is ours -> TypeError -> the caller's,
        # as a Python function's `raise` inside `except` would build it.
        try:
            raise KeyError("outer")
        except KeyError:
            with pytest.raises(InvalidArgument) as excinfo:
                opt.ensure_bound("x")
        context = excinfo.value.__context__
        assert isinstance(context, ValueError)
        assert isinstance(context.__context__, KeyError)


def caller_of_screening(pool):
    return opt.ensure_order_book_ids(pool, "2019-01-02")


class TestWarningStackLevels:
    @pytest.fixture
    def client(self, monkeypatch):
        records = {"I": types.SimpleNamespace(order_book_id="I", type="INDX", listed_date="2010-01-04",
                                              de_listed_date="0000-00-00")}
        monkeypatch.setattr(opt, "zorvata", types.SimpleNamespace(instruments=lambda ids: [records[i] for i in ids]))

    def test_level_three_from_python(self, client):
        with pytest.warns(OptimizerWarning) as w:
            caller_of_screening(["I"])
        assert w[0].filename == __file__

    def test_python_frames_in_between_count(self, client, monkeypatch):
        def relay(pool, date):
            return original(pool, date)

        original = opt.ensure_order_book_ids
        # Level 3 now names `caller_of_screening` itself (screening, relay, caller_of_screening).
        monkeypatch.setattr(opt, "ensure_order_book_ids", relay)
        with pytest.warns(OptimizerWarning) as w:
            caller_of_screening(["I"])
        assert w[0].filename == __file__
        assert w[0].lineno == caller_of_screening.__code__.co_firstlineno + 1

    def test_error_filter_raises_from_the_function(self, client):
        with warnings.catch_warnings():
            warnings.simplefilter("error", OptimizerWarning)
            with pytest.raises(OptimizerWarning):
                caller_of_screening(["I"])

    def test_function_objects_of_other_modules_count(self, client, monkeypatch):
        # IndexBenchmark.__init__ (benchmark module) calls the screening (optimize module) with no Python
        # frame in between: level 3 is screening, __init__, this test.
        import functools

        monkeypatch.setattr(bm, "zorvata", types.SimpleNamespace(
            instruments=functools.partial(opt.ensure_order_book_ids, date="2019-01-02")))
        with pytest.warns(OptimizerWarning) as w, pytest.raises(AttributeError):
            IndexBenchmark(["I"])
        assert w[0].filename == __file__
