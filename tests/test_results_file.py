"""The results file under a hostile world: a path swapped during a batch, hard links, another owner, leftovers of
a killed rewrite, editors' line ends, bad cells, a full disk; own data never taken for other data; a task that
cannot be submitted."""
import concurrent.futures as cf
from concurrent.futures.process import BrokenProcessPool
import dataclasses
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import vardex
from vardex import batch, calibration, results
from vardex.settings import DEFAULT_OPTIMISER

TINY = dict(max_steps=1, progress=False, snow=False)
RECORD = vardex.Settings.build(models="gr4j", seeds=[1, 2], max_steps=1, snow=False)


def own(gauge="custom", rain_factor=1.0, days=800):
    rng = np.random.default_rng(11)
    dates = np.arange("2001-01-01", np.datetime64("2001-01-01") + days, dtype="datetime64[D]")
    rain = rng.gamma(0.6, 6.0, days) * rain_factor
    temperature = 6 + 12 * np.sin(np.arange(days) / 58.0)
    flow = np.convolve(rain, np.full(25, 0.025))[:days]
    return vardex.Catchment.from_arrays(dates, rain, temperature, flow, latitude=45.0, elevation=300.0, gauge=gauge)


class Hooked:
    """The default calibrator, calling ``hook(seed)`` when a calibration starts."""

    def __init__(self, hook):
        self.hook = hook

    def __call__(self, *args):
        self.hook(args[-1])
        return calibration.ENGINES[DEFAULT_OPTIMISER](*args)


def seed_two_then_one(out, hook=lambda seed: None):
    """A file holding seed 2's row, then a batch of seeds 1 and 2: seed 1 is appended, the file rewritten."""
    catchment = own()
    vardex.calibrate_many(catchment, "gr4j", [2], out=out, **TINY)
    return batch.run_many(catchment, RECORD, out=out, engines={DEFAULT_OPTIMISER: Hooked(hook)}, workers=1,
                          progress=False)


def seeds_in(path):
    return [row["seed"] for row in results.read_results(path)]


def test_a_path_swapped_for_a_link_during_the_batch_is_left_alone(tmp_path):
    out, notes = tmp_path / "r.csv", tmp_path / "notes.txt"
    notes.write_text("my notes\n")

    def swap(seed):
        os.rename(out, tmp_path / "moved.csv")
        out.symlink_to(notes)

    with pytest.warns(RuntimeWarning, match="no longer names the file this batch opened"):
        table = seed_two_then_one(out, swap)
    assert [r["seed"] for r in table] == [1, 2]
    assert notes.read_text() == "my notes\n"
    assert seeds_in(tmp_path / "moved.csv") == [2, 1]     # appended to the file opened, not reordered


@pytest.mark.parametrize("how", ["hard link", "other owner"])
def test_a_rewrite_keeps_the_file_itself_where_a_rename_would_lose_something(tmp_path, how):
    out = tmp_path / "r.csv"
    catchment = own()
    vardex.calibrate_many(catchment, "gr4j", [2], out=out, **TINY)
    if how == "hard link":
        os.link(out, tmp_path / "second-name.csv")
    else:
        if os.geteuid() != 0:
            pytest.skip("giving a file to another owner needs root")
        os.chown(out, 65534, 65534)
        os.chmod(out, 0o666)
    before = os.stat(out)
    vardex.calibrate_many(catchment, "gr4j", [1, 2], out=out, **TINY)
    after = os.stat(out)
    assert (after.st_ino, after.st_uid, after.st_gid, after.st_nlink) == (before.st_ino, before.st_uid,
                                                                        before.st_gid, before.st_nlink)
    assert seeds_in(out) == [1, 2] and out.read_text().count("\n") == 3
    if how == "hard link":
        assert (tmp_path / "second-name.csv").read_bytes() == out.read_bytes()


def test_a_plain_rewrite_renames_a_new_file_and_leaves_nothing_behind(tmp_path):
    out = tmp_path / "r.csv"
    stale = tmp_path / ".r.csv.vardex-dead1234.tmp"
    unrelated = tmp_path / ".r.csv.other.tmp"
    seed_two_then_one(out, lambda seed: (stale.write_text("left by a killed rewrite"), unrelated.write_text("x")))
    assert seeds_in(out) == [1, 2]
    # The leftover appeared after this batch opened the file: the next one that opens it removes it.
    vardex.calibrate_many(own(), "gr4j", [1, 2], out=out, **TINY)
    assert not stale.exists() and unrelated.exists()
    assert sorted(p.name for p in tmp_path.iterdir()) == [".r.csv.other.tmp", "r.csv"]


def test_editor_line_ends_and_bad_cells(tmp_path):
    out = tmp_path / "r.csv"
    first = vardex.calibrate_many(own(), "gr4j", [1, 2], out=out, **TINY)
    out.write_bytes(out.read_bytes().replace(b"\n", b"\r\n"))
    again = batch.run_many(own(), RECORD, out=out, engines={}, progress=False)
    assert again.rows == first.rows

    text = out.read_text()
    for bad in ("[null]", '["a"]', "{}"):
        out.write_text(text.replace('""', "").replace(",,,,,,", f',"{bad}",,,,,', 1))
        with pytest.raises(results.ResultsError, match=rf"{out}, line 2: malformed row"):
            results.read_results(out)


def test_a_full_disk_names_the_file(tmp_path):
    script = textwrap.dedent(f"""
        import resource, signal, sys
        from vardex import results
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        log = results.ResultsLog({str(tmp_path / 'r.csv')!r}, {{}})
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
        try:
            for _ in range(100):
                log.append({{"gauge": "g" * 100, "forcing": "daymet", "model": "gr4j", "seed": 1, "error": ""}})
        except OSError as err:
            print(err)
    """)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert str(tmp_path / "r.csv") in run.stdout and "File too large" in run.stdout and "Errno" not in run.stdout


def test_own_data_is_identified_by_its_content(tmp_path):
    out = tmp_path / "r.csv"
    a, b = own(), own(rain_factor=3.0)
    assert a.gauge == b.gauge == "custom" and a.origin != b.origin and a.origin == own().origin
    vardex.calibrate_many(a, "gr4j", [1], out=out, **TINY)
    with pytest.raises(ValueError, match="this batch has source=memory:"):
        vardex.calibrate_many(b, "gr4j", [1], out=out, **TINY)
    # The same data built again resume; a row is never another data set's result.
    assert vardex.calibrate_many(own(), "gr4j", [1], out=out, **TINY).rows == results.read_results(out).rows

    # Parameters move to "another" catchment by data, not by name: the receiver's own snow bands.
    high = dataclasses.replace(b, median_elevation=1500.0)
    r = vardex.calibrate(a, "gr4j", snow=True, optimiser="dds", max_evaluations=20, progress=False)
    assert np.array_equal(r.bands_on(a), r.elevation_bands)
    assert np.array_equal(r.bands_on(high), [1300.0, 1500.0, 1700.0])
    # A catchment's own bands are part of its identity, and go with it.
    banded = dataclasses.replace(b, elevation_bands=(50.0, 250.0))
    assert banded.origin != b.origin and r.bands_on(banded).tolist() == [50.0, 250.0]


def test_a_finished_file_resumes_without_a_run_or_a_byte_changed(tmp_path):
    out = tmp_path / "r.csv"
    first = vardex.calibrate_many(own(), "gr4j", [1, 2], out=out, **TINY)
    written = out.read_bytes()
    again = batch.run_many(own(), RECORD, out=out, engines={}, progress=False)    # no calibrator: none may run
    assert again.rows == first.rows and again.rows[1:] == first.rows[1:] and list(again)[0] == first[0]
    assert out.read_bytes() == written
    for table in (first, again):     # rows kept as their text are written back as they were read
        table.to_csv(tmp_path / "copy.csv")
        assert (tmp_path / "copy.csv").read_bytes() == written


@pytest.mark.parametrize("dates, accepted", [
    (["2001-01-01", "2001-01-02"], True),
    (["2001-01-01T00:00", "2001-01-02T00:00"], True),
    (["2001-01-01T00:00+05:00", "2001-01-02T00:00+05:00"], False),   # NumPy would shift it a day, to UTC
    (["2001-01-01T12:00", "2001-01-02T12:00"], False),
    (np.array(["2001-01-01T12:00", "2001-01-02T12:00"], dtype="datetime64[m]"), False),
])
def test_own_dates_are_whole_days_by_one_rule(dates, accepted):
    make = lambda: vardex.Catchment.from_arrays(dates, [1.0, 2.0], [5.0, 6.0], [0.5, 0.6], latitude=45.0,
                                                elevation=300.0)
    if accepted:
        assert make().dates[0] == np.datetime64("2001-01-01")
    else:
        with pytest.raises(vardex.DataError, match="^dates"):
            make()


class FailingSubmit(cf.ThreadPoolExecutor):
    """A pool whose second submission fails, as when no thread can start or a process pool broke."""

    def __init__(self, error):
        super().__init__(1)
        self.error, self.calls = error, 0

    def submit(self, *args, **kwargs):
        self.calls += 1
        if self.calls == 2:
            raise self.error
        return super().submit(*args, **kwargs)


@pytest.mark.parametrize("error", [RuntimeError("can't start new thread"),
                                   BrokenProcessPool("a worker died")])
def test_a_task_that_cannot_be_submitted_is_lost_and_the_finished_rows_kept(tmp_path, error):
    out = tmp_path / "r.csv"
    with FailingSubmit(error) as pool:
        table = vardex.calibrate_many(own(), "gr4j", [1, 2, 3], executor=pool, out=out, **TINY)
    assert [r["seed"] for r in table] == [1] and seeds_in(out) == [1]
    assert [t.seed for t in table.lost] == [2] and str(error) in table.lost[table.pending[0]]
    assert [t.seed for t in table.pending] == [2, 3] and not table.interrupted
