"""Fixtures of the risk-model tests: private copies of the session market."""

from __future__ import annotations

import shutil

import pytest


@pytest.fixture
def market_copy(market_db, tmp_path, switch_db):
    """`market_copy(name)` copies the session market into this test's directory and returns its path."""

    def make(name: str):
        path = tmp_path / f"{name}.duckdb"
        shutil.copyfile(market_db, path)
        return path

    return make
