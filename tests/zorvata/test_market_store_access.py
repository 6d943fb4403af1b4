"""The store as a file among others: written through links, keeping its mode, owner and group, and refusing in
one line (exit 2, nothing changed) where its directory is read-only, the disk is full or the lock is out of
reach."""

import hashlib
import os
import shutil
import stat
import subprocess
import sys
import tempfile

import duckdb
import pytest

from zorvata.importer import append_files, import_files

from .test_market_importer import DATES, INSTRUMENTS, PRICES

ROOT = os.geteuid() == 0
DAY = "date,order_book_id,rate\n2024-01-08,600001.XSHG,0.02\n"


def _digest(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


def _last_day(db):
    con = duckdb.connect(str(db), read_only=True)
    try:
        return str(con.execute("SELECT max(date) FROM price_change_rate").fetchone()[0])
    finally:
        con.close()


@pytest.fixture
def shared_dir():
    """A directory another user can enter (pytest's own are root's alone)."""
    d = tempfile.mkdtemp(prefix="velquor-access-", dir="/tmp")
    os.chmod(d, 0o755)
    yield d
    shutil.rmtree(d, ignore_errors=True)


@pytest.fixture
def store(shared_dir):
    from pathlib import Path

    d = Path(shared_dir)
    for name, text in (("instruments.csv", INSTRUMENTS), ("prices.csv", PRICES), ("dates.csv", DATES),
                       ("day.csv", DAY)):
        (d / name).write_text(text)
        os.chmod(d / name, 0o644)
    db = import_files(d / "market-2024.duckdb", instruments=d / "instruments.csv", prices=d / "prices.csv",
                      trading_dates=d / "dates.csv")
    return db


# the command line as another user: the interpreter (under root's home) loads everything first, then drops
# to the user
_AS_USER = """
import os, sys, errno, zorvata.__main__ as m, zorvata.importer, zorvata._store, zorvata.infra
user = int(sys.argv[1])
os.setgroups([]); os.setgid(user); os.setuid(user)
sys.exit(m.main(["import", *sys.argv[2:]]))
"""


def _cli(*args, user=None, fsize=None):
    def limit():
        import resource
        import signal

        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a write past the limit fails instead of killing
        resource.setrlimit(resource.RLIMIT_FSIZE, (fsize, fsize))

    cmd = [sys.executable, "-m", "zorvata", "import"] if user is None else [sys.executable, "-c", _AS_USER, str(user)]
    return subprocess.run([*cmd, *map(str, args)], capture_output=True, text=True, timeout=120,
                          preexec_fn=None if fsize is None else limit, cwd="/")


class TestLinksAndModes:
    def test_append_through_a_link_updates_the_real_file_and_keeps_its_mode(self, store):
        os.chmod(store, 0o600)
        link = store.with_name("market.duckdb")
        link.symlink_to(store.name)
        append_files(link, prices=store.with_name("day.csv"))
        assert link.is_symlink() and os.readlink(link) == store.name
        assert _last_day(store) == "2024-01-08"
        assert stat.S_IMODE(store.stat().st_mode) == 0o600
        assert not store.with_name("market.duckdb.lock").exists()  # the real file's lock was taken

    @pytest.mark.skipif(not ROOT, reason="giving a file to another group needs root here")
    def test_force_keeps_owner_group_and_mode(self, store):
        d = store.parent
        os.chown(store, 1, 1)  # daemon:daemon
        os.chmod(store, 0o640)
        import_files(store, instruments=d / "instruments.csv", prices=d / "prices.csv", overwrite=True)
        st = store.stat()
        assert (st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)) == (1, 1, 0o640)
        append_files(store, prices=d / "day.csv")
        st = store.stat()
        assert (st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)) == (1, 1, 0o640)


class TestRefusals:
    """One line on stderr, exit 2, the store unchanged."""

    @staticmethod
    def _one_line(run, *words):
        assert run.returncode == 2, run.stderr
        assert run.stderr.count("\n") == 1 and "Traceback" not in run.stderr, run.stderr
        for w in words:
            assert w in run.stderr, run.stderr

    @pytest.mark.skipif(not ROOT, reason="needs another user to meet a read-only directory")
    def test_read_only_directory(self, store):
        d = store.parent
        before = _digest(store)
        run = _cli("--append", "--out", store, "--prices", d / "day.csv", user=65534)
        self._one_line(run, str(store), "not writable", "nothing was changed")
        run = _cli("--out", d / "new.duckdb", "--instruments", d / "instruments.csv", "--prices", d / "prices.csv",
                   user=65534)
        self._one_line(run, str(d / "new.duckdb"), "not writable")
        assert _digest(store) == before and not (d / "new.duckdb").exists()

    def test_full_disk(self, store):
        d = store.parent
        before = _digest(store)
        run = _cli("--append", "--out", store, "--prices", d / "day.csv", fsize=store.stat().st_size // 2)
        self._one_line(run, str(store), "disk is full or a file-size limit", "nothing was changed")
        assert _digest(store) == before
        assert sorted(p.name for p in d.iterdir() if p.name.startswith(".")) == []
        run = _cli("--out", d / "new.duckdb", "--instruments", d / "instruments.csv", "--prices", d / "prices.csv",
                   fsize=64 * 1024)
        self._one_line(run, str(d / "new.duckdb"), "disk is full")
        assert not (d / "new.duckdb").exists()

    @pytest.mark.skipif(not ROOT, reason="needs another user to meet a lock it cannot open")
    def test_unlockable_store(self, store):
        d = store.parent
        os.chmod(d, 0o777)  # the directory is writable, the lock file is not there to be opened ...
        lock = store.with_name(store.name + ".lock")
        lock.unlink(missing_ok=True)
        os.mkdir(lock)  # ... nor can it be: a directory holds its name
        run = _cli("--append", "--out", store, "--prices", d / "day.csv", user=65534)
        self._one_line(run, f"{store}.lock", "nothing was changed")
