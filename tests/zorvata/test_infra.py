"""The shared infrastructure of zorvata.infra: files replaced whole or not at all, the advisory lock, the LRU
cache, the BLAS thread pin and the one version."""

from __future__ import annotations

import os
import stat
import sys
import tomllib
from pathlib import Path

import pytest

from zorvata import infra


def _beside(path: Path) -> list[str]:
    return sorted(p.name for p in path.parent.iterdir() if p.name != path.name)


class TestAtomicReplace:
    def test_write_replaces_the_target_with_the_given_mode(self, tmp_path):
        target = tmp_path / "sub" / "f.json"
        with infra.atomic_write(target, "w", permissions=0o644, make_parents=True) as fh:
            fh.write("new")
        assert target.read_text() == "new"
        assert stat.S_IMODE(target.stat().st_mode) == 0o644
        assert _beside(target) == []

    @pytest.mark.parametrize("how", ["write", "path"])
    def test_a_failure_leaves_the_old_file_and_no_temporary(self, tmp_path, how):
        target = tmp_path / "f.db"
        target.write_text("old")
        with pytest.raises(RuntimeError, match="boom"):
            if how == "write":
                with infra.atomic_write(target) as fh:
                    fh.write(b"half")
                    raise RuntimeError("boom")
            else:
                with infra.atomic_path(target) as tmp:
                    assert tmp.name.startswith(".f.db.") and tmp.name.endswith(".tmp") and not tmp.exists()
                    tmp.write_text("half")
                    tmp.with_name(tmp.name + ".wal").write_text("log")  # what DuckDB leaves beside it
                    raise RuntimeError("boom")
        assert target.read_text() == "old"
        assert _beside(target) == []

    def test_path_renames_what_the_block_made(self, tmp_path):
        target = tmp_path / "f.db"
        target.write_text("old")
        with infra.atomic_path(target) as tmp:
            tmp.write_text("new")
        assert target.read_text() == "new"
        assert _beside(target) == []


class TestFileLock:
    def test_a_held_lock_is_not_taken_without_waiting(self, tmp_path):
        target = tmp_path / "dir" / "f.db"
        with infra.file_lock(target) as held:
            assert held and (tmp_path / "dir" / "f.db.lock").exists()
            # a second open file description conflicts even within one process, as another process would
            with infra.file_lock(target, wait=False) as second:
                assert second is False
        with infra.file_lock(target, wait=False) as again:
            assert again is True

    def test_without_waiting_an_unusable_place_is_not_an_error(self, tmp_path):
        with infra.file_lock(tmp_path / "missing" / "f.db", wait=False) as held:
            assert held is False


class TestLRUCache:
    def test_forgets_the_least_recently_used(self):
        cache: infra.LRUCache[int] = infra.LRUCache(2)
        cache.put("a", 1)
        cache.put("b", 2)
        assert cache.get("a") == 1  # "b" is now the oldest
        cache.put("c", 3)
        assert (cache.get("a"), cache.get("b"), cache.get("c")) == (1, None, 3)
        assert len(cache) == 2

    def test_get_or_make_makes_once(self):
        cache: infra.LRUCache[list] = infra.LRUCache(4)
        made = []
        for _ in range(3):
            value = cache.get_or_make("k", lambda: made.append(1) or ["v"])
        assert value == ["v"] and made == [1]
        cache.clear()
        assert cache.get("k") is None


def test_blas_pinned_to_one_thread_and_restored():
    from threadpoolctl import threadpool_info

    import numpy as np

    np.ones((2, 2)) @ np.ones((2, 2))  # BLAS loaded
    before = [p["num_threads"] for p in threadpool_info() if p["user_api"] == "blas"]
    with infra.single_threaded_blas():
        assert all(p["num_threads"] == 1 for p in threadpool_info() if p["user_api"] == "blas")
    assert [p["num_threads"] for p in threadpool_info() if p["user_api"] == "blas"] == before


def test_one_version_from_pyproject():
    import velquor
    import zorvata

    with open(Path(__file__).parents[2] / "pyproject.toml", "rb") as fh:
        version = tomllib.load(fh)["project"]["version"]
    assert zorvata.__version__ == velquor.__version__ == infra.package_version() == version


_FAULTS = """
import json, os, resource, sys, threading, time
import numpy as np
from zorvata import infra

infra.HELD_HEAP_IDLE = 0.5
if sys.argv[1] == "worker":
    infra.worker_heap()

def faults(n=200):
    before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    for _ in range(n):
        a = np.ones(1 << 18)  # 2 MiB: above glibc's fixed mmap threshold, below the adaptive one's ceiling
        del a
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before

def top_faults():
    # 160 MiB freed at the top of the heap: glibc's adaptive rule gives it back (64 MiB trim threshold)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    for _ in range(3):
        blocks = [np.ones(1 << 21) for _ in range(10)]  # 16 MiB each
        del blocks
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before

out = {"outside": faults(), "top_outside": top_faults()}
with infra.steady_heap():
    faults(5); top_faults()  # the heap grows once
    out["inside"] = faults()
    out["top_inside"] = top_faults()
    with infra.steady_heap():  # nested (another task thread of the worker): still steady
        out["nested"] = faults()
    done = threading.Event()
    def other():
        with infra.steady_heap():
            done.wait()
    t = threading.Thread(target=other); t.start()
out["other_thread_still_inside"] = faults()
done.set(); t.join()
out["top_just_after"] = top_faults()  # the next task of a run comes within the idle time: the heap is held
time.sleep(1.5)
out["after"] = faults()
out["top_after"] = top_faults()
out["heap_thread"] = infra._heap_thread is not None
print(json.dumps(out))
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="glibc's heap")
class TestSteadyHeap:
    """A worker started with a fixed trim threshold (a Dask nanny's) maps every large block fresh from the
    kernel, and any worker gives back the top of its heap as glibc's adaptive rule says; inside steady_heap
    (and for a moment after) the heap keeps and reuses them, and the worker's settings come back after."""

    pages = 200 * (2 << 20) // 4096
    top = 3 * 10 * (16 << 20) // 4096

    def run(self, env: dict, mode: str = "plain") -> dict:
        import json
        import subprocess

        # glibc's own allocator: a sanitizer run preloads one that replaces it (and ignores mallopt)
        base = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "MALLOC_TRIM_THRESHOLD_")}
        # numpy's huge pages for large arrays would fault 2 MiB at a time: counted in small pages here
        base["NUMPY_MADVISE_HUGEPAGE"] = "0"
        proc = subprocess.run([sys.executable, "-c", _FAULTS, mode], env={**base, **env}, capture_output=True,
                              text=True, timeout=120)
        assert proc.returncode == 0, proc.stderr
        return json.loads(proc.stdout)

    def test_fixed_trim_threshold_gets_the_held_heap_inside_only(self):
        f = self.run({"MALLOC_TRIM_THRESHOLD_": "65536"})
        assert f["outside"] > self.pages / 2 and f["after"] > self.pages / 2, f
        assert f["inside"] < self.pages / 20 and f["nested"] < self.pages / 20, f
        assert f["other_thread_still_inside"] < self.pages / 20, f
        assert f["top_inside"] < self.top / 20 and f["top_just_after"] < self.top / 20, f
        assert f["top_after"] > self.top / 2 and not f["heap_thread"], f

    def test_pool_worker_holds_its_heap_then_gives_it_back(self):
        f = self.run({}, "worker")
        assert f["top_outside"] > self.top / 2, f  # glibc's own rule trims it
        assert f["top_inside"] < self.top / 20 and f["top_just_after"] < self.top / 20, f
        assert f["top_after"] > self.top / 2 and not f["heap_thread"], f  # idle: given back

    def test_ordinary_process_unmarked_is_left_alone(self):
        f = self.run({})
        assert f["top_inside"] > self.top / 2, f

    def test_ordinary_process_left_alone(self, monkeypatch):
        monkeypatch.delenv("MALLOC_TRIM_THRESHOLD_", raising=False)
        monkeypatch.setattr(infra, "_mallopt", lambda: pytest.fail("mallopt called"))
        with infra.steady_heap():
            pass
        monkeypatch.setenv("MALLOC_TRIM_THRESHOLD_", "65536")
        monkeypatch.setenv("MALLOC_MMAP_THRESHOLD_", "1048576")  # the user's own choice: kept
        with infra.steady_heap():
            pass
