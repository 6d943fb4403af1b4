"""The public API fuzzed with a bounded number of examples per target (`make fuzz` runs many more against the
sanitizer build). VELQUOR_FUZZ_EXAMPLES sets the number (default 20)."""

import os

import pytest

from . import fuzz_api

EXAMPLES = int(os.environ.get("VELQUOR_FUZZ_EXAMPLES", "20"))


@pytest.mark.parametrize("name", list(fuzz_api.TARGETS))
def test_only_documented_exceptions_escape(name):
    fn, weight = fuzz_api.TARGETS[name]
    fuzz_api.run_target(fn, max(3, EXAMPLES * min(weight, 2) // 2))
