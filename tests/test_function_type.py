"""The package's function objects behave like Python functions where callers look: recursion, pickling and
copying, attributes, type hints, tracebacks, the exceptions they raise, keyword names, garbage collection and
the module namespace they run in."""

import concurrent.futures
import copy
import gc
import multiprocessing
import pickle
import subprocess
import sys
import textwrap
import traceback
import typing
import weakref

import pytest

import velquor.objective as ob
import velquor.optimize as opt
from velquor.benchmark import IndexBenchmark
from velquor.exception import InvalidArgument
from velquor.objective import MeanVariance, MinTrackingError, MinVariance


def run_python(code, timeout=180):
    """Runs `code` in a fresh interpreter; returns (exit status, stdout, stderr)."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout)
    return proc.returncode, proc.stdout, proc.stderr


class TestRecursion:
    def test_call_cycle_between_two_functions_raises_recursion_error(self, monkeypatch):
        monkeypatch.setattr(opt, "to_date", opt.ensure_date_str)
        with pytest.raises(RecursionError):
            opt.ensure_date_str("2024-01-02")
        # the interpreter is intact: the guard unwinds every level
        monkeypatch.undo()
        assert opt.ensure_date_str("2024-01-02") == "2024-01-02"

    def test_cycle_through_python_code_raises_recursion_error(self, monkeypatch):
        monkeypatch.setattr(opt, "to_date", lambda d: opt.ensure_date_str(d))
        with pytest.raises(RecursionError):
            opt.ensure_date_str("2024-01-02")

    def test_huge_recursion_limit_still_never_crashes(self):
        # The limit no longer bounds the depth: the machine stack's margin does.
        status, out, err = run_python("""
            import sys, threading
            import velquor.optimize as o
            sys.setrecursionlimit(10**6)
            o.to_date = o.ensure_date_str
            try:
                o.ensure_date_str("2024-01-02")
            except RecursionError:
                print("main")
            def worker():
                try:
                    o.ensure_date_str("2024-01-02")
                except RecursionError:
                    print("thread")
            threading.stack_size(1 << 20)
            t = threading.Thread(target=worker); t.start(); t.join()
        """)
        assert (status, out.split()) == (0, ["main", "thread"]), err


class TestPickleAndCopy:
    @pytest.mark.parametrize("f", [opt.portfolio_optimize, opt.to_date, ob.ensure_series,
                                   MinVariance.get_objective_expr, MeanVariance.__init__,
                                   IndexBenchmark.get_weight],
                             ids=lambda f: f.__qualname__)
    def test_by_reference(self, f):
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            assert pickle.loads(pickle.dumps(f, protocol)) is f
        assert copy.copy(f) is f and copy.deepcopy(f) is f

    def test_objectives_pickle_by_class(self):
        clone = pickle.loads(pickle.dumps(MinTrackingError()))
        assert type(clone) is MinTrackingError
        mv = pickle.loads(pickle.dumps(MeanVariance(window=20, risk_aversion_coefficient=2)))
        assert (mv._window, mv._risk_aversion_coefficient) == (20, 2)

    def test_a_rebound_name_is_reported_by_pickle(self, monkeypatch):
        original = opt.to_date
        monkeypatch.setattr(opt, "to_date", lambda dt: dt)
        with pytest.raises(pickle.PicklingError):
            pickle.dumps(original)


def _optimize_in_worker(pool):
    import velquor.optimize as o

    return o.portfolio_optimize(pool, "2026-06-01")


class TestProcessPool:
    def test_two_spawned_workers_run_portfolio_optimize(self, market_db):
        import zorvata

        pool = sorted(zorvata.all_instruments(type="CS", date="2026-06-01")["order_book_id"])[:12]
        context = multiprocessing.get_context("spawn")
        with concurrent.futures.ProcessPoolExecutor(max_workers=2, mp_context=context) as executor:
            # the function itself travels to the workers
            futures = [executor.submit(opt.portfolio_optimize, pool, "2026-06-01"),
                       executor.submit(_optimize_in_worker, pool)]
            a, b = (f.result(timeout=300) for f in futures)
        assert list(a.index) == list(b.index) == pool
        assert a.sum() == pytest.approx(1.0) and b.sum() == pytest.approx(1.0)
        assert (a - b).abs().max() < 1e-6


class TestAttributes:
    def test_doc_and_attributes_are_settable(self, monkeypatch):
        f = opt.ensure_bound
        monkeypatch.setattr(f, "__doc__", "mine")
        assert f.__doc__ == "mine"
        f.marker = 1
        try:
            assert f.marker == 1 and f.__dict__ == {"marker": 1}
        finally:
            del f.marker

    def test_names_module_and_type(self):
        f = MinVariance.get_objective_expr
        assert (f.__name__, f.__qualname__, f.__module__) == ("get_objective_expr", "MinVariance.get_objective_expr",
                                                             "velquor.objective")
        assert type(f) is type(opt.to_date) is type(IndexBenchmark.get_weight)
        assert (type(f).__module__, type(f).__name__) == ("velquor", "function")
        with pytest.raises(TypeError):
            f.__name__ = 3
        with pytest.raises(TypeError):
            type(f)()

    def test_type_hints_and_globals(self):
        assert typing.get_type_hints(opt.portfolio_optimize) == {}
        assert opt.portfolio_optimize.__globals__ is vars(opt)
        assert MinVariance.get_objective_expr.__globals__ is vars(ob)

    def test_weak_references(self):
        r = weakref.ref(opt.to_date)
        assert r() is opt.to_date

    def test_garbage_collector_sees_defaults_and_signature(self):
        f = opt.portfolio_optimize
        f.__signature__  # cached on first request
        referents = gc.get_referents(f)
        assert any(r is opt.DEFAULT_OBJECTIVE for r in referents)
        assert any(r is f.__signature__ for r in referents)
        assert any(r is vars(opt) for r in referents)


class TestTraceback:
    def test_one_line_per_function_object(self):
        with pytest.raises(InvalidArgument) as excinfo:
            opt.ensure_date_str(5)
        frames = traceback.extract_tb(excinfo.value.__traceback__)
        names = [f.name for f in frames]
        assert names[-2:] == ["ensure_date_str", "to_date"]
        assert frames[-1].filename.endswith(".cpp")

    def test_argument_errors_name_the_function(self):
        with pytest.raises(TypeError) as excinfo:
            opt.to_date()
        assert traceback.extract_tb(excinfo.value.__traceback__)[-1].name == "to_date"


class TestRaiseMakesAnInstance:
    def test_factory_function(self, monkeypatch):
        monkeypatch.setattr(opt, "InvalidArgument", lambda message: LookupError("made: " + message))
        with pytest.raises(LookupError, match="made: expect a datetime like object"):
            opt.to_date(5)

    def test_class_whose_new_returns_another_exception(self, monkeypatch):
        class Redirecting(Exception):
            def __new__(cls, message):
                return KeyError(message)

        monkeypatch.setattr(opt, "InvalidArgument", Redirecting)
        with pytest.raises(KeyError):
            opt.to_date(5)

    def test_factory_that_raises_or_returns_no_exception(self, monkeypatch):
        def failing(message):
            raise ZeroDivisionError("factory")

        monkeypatch.setattr(opt, "InvalidArgument", failing)
        with pytest.raises(ZeroDivisionError, match="factory"):
            opt.to_date(5)
        monkeypatch.setattr(opt, "InvalidArgument", lambda message: 42)
        with pytest.raises(TypeError, match="exceptions must derive from BaseException"):
            opt.to_date(5)

    def test_in_handler_keeps_the_context(self, monkeypatch):
        monkeypatch.setattr(opt, "InvalidArgument", lambda message: LookupError(message))
        with pytest.raises(LookupError) as excinfo:
            opt.ensure_bound("x")
        assert isinstance(excinfo.value.__context__, ValueError)


class TestGlobals:
    def test_missing_global_is_a_name_error(self, monkeypatch):
        monkeypatch.delattr(opt, "InvalidArgument")
        with pytest.raises(NameError, match="name 'InvalidArgument' is not defined"):
            opt.to_date(5)

    def test_builtins_are_found_after_the_module(self, monkeypatch):
        monkeypatch.setattr(opt, "str", bytes, raising=False)
        # `isinstance(dt, str)` now reads the module's `str`: text is no longer a date
        with pytest.raises(InvalidArgument):
            opt.to_date("2024-01-02")

    def test_reimport_after_removal_from_sys_modules(self):
        status, out, err = run_python("""
            import sys
            import velquor.optimize as first
            import velquor.objective
            held = first.ensure_date_str
            del sys.modules["velquor.optimize"]
            import velquor.optimize as second
            assert second is not first and second.ensure_date_str is not held
            print(held("2024-01-02"), second.ensure_date_str("2024-01-03"))
            # each keeps its own namespace
            import datetime
            first.to_date = lambda d: datetime.date(2000, 1, 1)
            print(held("x"), second.ensure_date_str("2024-01-04"))
        """)
        assert status == 0, err
        assert out.splitlines() == ["2024-01-02 2024-01-03", "2000-01-01 2024-01-04"]
        assert "leak" not in err.lower(), err


class TestKeywordNames:
    @pytest.mark.parametrize("key", ["risk_aversion_coefficient\x00junk", "risk_aversion_coefficient\udcff",
                                     "\udcff"])
    def test_unexpected_name_is_a_type_error(self, key):
        with pytest.raises(TypeError, match="got an unexpected keyword argument"):
            MeanVariance(**{key: -1})

    def test_nul_name_is_not_cut(self):
        # read as a parameter of its own, not as `v`: the real `v` is missing
        with pytest.raises(TypeError, match=r"takes exactly 1 positional argument \(0 given\)"):
            opt.ensure_bound(**{"v\x00": 0.5})
        assert opt.ensure_bound(**{"v": 0.5}) == 0.5

    def test_keywords_built_at_run_time_match(self):
        name = "".join(["risk_aversion", "_coefficient"])  # not interned
        assert MeanVariance(**{name: 3})._risk_aversion_coefficient == 3


class TestExitIsClean:
    def test_no_leak_report_at_exit(self):
        status, out, err = run_python("""
            import velquor.optimize as o, velquor.benchmark, velquor.objective
            o.to_date("2024-01-02")
            o.portfolio_optimize.__signature__
        """)
        assert status == 0 and err == "", err


class TestThreadsKeepTheirOwnStack:
    def test_calls_interleaved_across_threads(self):
        # Thread A is suspended inside to_enum (in the enum's __members__) while thread B calls functions of
        # its own; A then resumes inside its call, which must still unwind A's own stack of running functions.
        import enum
        import threading

        inside, resume = threading.Event(), threading.Event()

        class Colour(enum.Enum):
            RED = "red"

        class Members(dict):
            def items(self):
                inside.set()
                assert resume.wait(30)
                return super().items()

        class Slow:
            """Looks up its members slowly."""
            __members__ = Members(RED=Colour.RED)

        results = {}

        def a():
            results["a"] = opt.to_enum("red", Slow)

        def b():
            assert inside.wait(30)
            results["b"] = [opt.ensure_date_str("2024-01-0%d" % d) for d in range(1, 8)]
            with pytest.raises(InvalidArgument):
                opt.to_date(object())
            resume.set()

        threads = [threading.Thread(target=a), threading.Thread(target=b)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        assert results["a"] is Colour.RED
        assert results["b"][-1] == "2024-01-07"
        # the main thread's own stack is intact
        assert opt.to_date("2024-01-02").isoformat() == "2024-01-02"


class TestSharedCoreState:
    """A module built against another layout of the state the modules share refuses to load, with an
    ImportError, whatever published that state first."""

    # The interpreter's own dictionary, where the modules publish that state (ctypes takes the borrowed
    # dictionary as its own reference, hence the extra one).
    INTERP = """
        import ctypes
        api = ctypes.pythonapi
        api.PyInterpreterState_Get.restype = ctypes.c_void_p
        api.PyInterpreterState_GetDict.restype = ctypes.py_object
        api.PyInterpreterState_GetDict.argtypes = [ctypes.c_void_p]
        api.Py_IncRef.argtypes = [ctypes.py_object]
        interp = api.PyInterpreterState_GetDict(api.PyInterpreterState_Get())
        api.Py_IncRef(interp)
    """

    NAME = INTERP + """
        import velquor.optimize
        api.PyCapsule_GetName.restype = ctypes.c_char_p
        api.PyCapsule_GetName.argtypes = [ctypes.py_object]
        print(api.PyCapsule_GetName(interp["velquor.pyapi.shared"]).decode())
    """

    PLANT = INTERP + """
        api.PyCapsule_New.restype = ctypes.py_object
        api.PyCapsule_New.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
        name = ctypes.c_char_p(NAME.encode())
        state = (ctypes.c_uint32 * 64)(VERSION, 8)
        interp["velquor.pyapi.shared"] = api.PyCapsule_New(ctypes.addressof(state), name, None)
        try:
            import velquor.optimize
        except ImportError as e:
            print("ImportError:", e, e.__cause__)
        else:
            print("imported")
    """

    def test_mismatch_is_an_import_error(self):
        status, out, err = run_python(self.NAME)
        assert status == 0, err
        current = out.strip()
        assert current.startswith("velquor.pyapi.shared.v")
        older = "velquor.pyapi.shared.v0"
        for name, version, message in [(older, 0, "built against another version of the velquor core"),
                                       (current, 999, "incompatible velquor core state")]:
            code = textwrap.dedent(self.PLANT).replace("NAME.", repr(name) + ".").replace("VERSION", str(version))
            status, out, err = run_python(code)
            assert status == 0, err
            assert out.startswith("ImportError:") and message in out, out
