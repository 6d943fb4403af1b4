"""Shared pieces of the risk-model tests."""

from __future__ import annotations

import datetime as dt

#: a Monday more than a year after the fixture market starts; its previous trading day is a Friday
DATE = dt.date(2025, 6, 2)


class FakeBenchmark:
    """A caller's benchmark: fixed weights, records the dates it was asked for."""

    def __init__(self, weights):
        self.weights = weights
        self.calls = []

    def get_weight(self, date):
        self.calls.append(date)
        return self.weights
