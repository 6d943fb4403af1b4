"""portfolio_optimize binds keyword names as the interpreter does: a name that is not exactly a parameter's
(an embedded NUL, a lone surrogate) is a solver option, never cut down to the parameter it starts with."""

import cvxpy as cp
import pytest

import velquor.optimize as opt

from .driver_fakes import DATE, install_market, recording, scripted_problem, cvxpy_with


@pytest.mark.parametrize("key", ["objective\x00junk", "solver\udcff", "bnds\x00"])
def test_odd_names_land_in_solver_options(monkeypatch, key):
    install_market(monkeypatch)
    objective = recording()
    monkeypatch.setattr(opt, "cp", cvxpy_with(Problem=scripted_problem(objective.spy, [
        (cp.OPTIMAL, 0.1, [0.2, 0.3, 0.5], None)])))
    weights = opt.portfolio_optimize(["A", "B", "C"], DATE, objective, **{key: "value"})
    assert list(weights.index) == ["A", "B", "C"]
    (options,) = objective.spy.solves
    assert options[key] == "value"
    # the real parameters kept their defaults
    assert options["solver"] == cp.SCS
