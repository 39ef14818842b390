"""Results that can be trusted: output files we may touch and no other, rows that say what they were computed
from and read back exactly, interrupts that never look like success. Command-line cases go through the real
`vardex` console script."""
import dataclasses
import json
import os
import shutil
import signal
import stat
import subprocess
import threading
import time

import numpy as np
import pytest

import vardex
import vardex_rs
from vardex import results
from vardex.data import sample_dir
from vardex.settings import DEFAULT_OPTIMISER

TINY = dict(max_steps=1, progress=False)
VARDEX = shutil.which("vardex")


def run(*args, timeout=120):
    return subprocess.run([VARDEX, *map(str, args)], capture_output=True, text=True, timeout=timeout)


def batch_args(out, *extra):
    return ["batch", "--gauges", "01022500", "--models", "gr4j", "--max-steps", "1", "--no-progress", "--out", out,
            *extra]


@pytest.fixture(scope="module")
def record():
    return vardex.load_camels("01022500")


def special(tmp_path, kind):
    path = tmp_path / kind
    if kind == "fifo":
        os.mkfifo(path)
    elif kind == "device":
        if os.geteuid() != 0:
            pytest.skip("creating a device node needs root")
        os.mknod(path, stat.S_IFCHR | 0o666, os.makedev(1, 3))    # a /dev/null of our own
    elif kind == "directory":
        path.mkdir()
    elif kind == "dev-zero-link":
        path.symlink_to("/dev/zero")
    elif kind == "notes":
        path.write_text("field notes\nlast line without newline")
    elif kind == "one-line":
        path.write_text("no newline at all")
    elif kind == "old-columns":
        path.write_text("gauge,model,seed,nse\n01022500,gr4j,1,0.5\n")
    return path


@pytest.mark.parametrize("kind", ["fifo", "device", "directory", "dev-zero-link", "notes", "one-line",
                                  "old-columns"])
def test_output_that_is_not_ours_is_refused_untouched(tmp_path, kind):
    path = special(tmp_path, kind)
    before = os.lstat(path)
    content = path.read_bytes() if path.is_file() else None
    for args in (batch_args(path), ["calibrate", "01022500", "--json", path], ["calibrate", "01022500", "--plot", path]):
        if kind in ("notes", "one-line", "old-columns") and args[0] == "calibrate":
            continue    # a regular file: --json and --plot replace it, as asked
        out = run(*args, timeout=60)    # a FIFO or /dev/zero must neither block nor be read
        assert out.returncode == 2 and out.stdout == "", out.stderr
        assert len(out.stderr.splitlines()) == 1 and str(path) in out.stderr
    after = os.lstat(path)
    assert (after.st_mode, after.st_ino) == (before.st_mode, before.st_ino)
    if content is not None:
        assert path.read_bytes() == content
    assert sorted(p.name for p in tmp_path.iterdir()) == [kind]    # no temporary left behind


def test_symlinked_output_is_written_through_and_the_link_stays(tmp_path):
    target, link = tmp_path / "data" / "r.csv", tmp_path / "r.csv"
    target.parent.mkdir()
    link.symlink_to(target)
    assert run(*batch_args(link, "--seeds", "2")).returncode == 0
    # Seeds 1 and 2 on a file holding seed 2: seed 1 is appended, then the file is rewritten in task order.
    assert run(*batch_args(link, "--seeds", "1-2")).returncode == 0
    assert link.is_symlink() and os.readlink(link) == str(target)
    table = vardex.calibrate_many("01022500", "gr4j", [1, 2], out=link, **TINY)
    assert [r["seed"] for r in table] == [1, 2]
    with open(target, newline="") as f:
        assert [line.split(",")[4] for line in f.read().splitlines()[1:]] == ["1", "2"]
    assert sorted(p.name for p in target.parent.iterdir()) == ["r.csv"]


def test_rows_round_trip_any_text_and_duplicates_do_not_survive(tmp_path, record):
    out = tmp_path / "r.csv"
    odd = [dataclasses.replace(record, gauge=f"g{c}x", observed=np.full(len(record), np.nan))
           for c in ("\r", "\x85", "\u2028", "\n", '"')]
    first = vardex.calibrate_many([record, *odd, "bad\u2028id"], "gr4j", **TINY, out=out)
    assert [r["gauge"] for r in first] == [record.gauge] + [c.gauge for c in odd] + ["bad\u2028id"]
    assert all(r["error"] for r in first[1:]) and not first[0]["error"]
    # A duplicated row (pasted twice by hand) is read once and dropped by the final rewrite.
    lines = out.read_bytes().split(b"\n")
    out.write_bytes(b"\n".join(lines[:2] + lines[1:]))
    second = vardex.calibrate_many([record, *odd, "bad\u2028id"], "gr4j", **TINY, out=out)
    assert second.rows == first.rows
    assert out.read_bytes().count(b"\n2,01022500,") == 1


@pytest.mark.parametrize("change, field", [
    (dict(warmup=300), "warmup"), (dict(snow=True), "snow_mode"), (dict(r=0.3), "settings"),
    (dict(max_evaluations=5000), "max_evaluations"), (dict(optimiser="sce"), "optimiser"),
    (dict(starts=2), "settings"), ("version", "version"), ("source", "source"),
])
def test_a_row_computed_otherwise_is_refused_naming_the_field(tmp_path, record, monkeypatch, change, field):
    out = tmp_path / "r.csv"
    vardex.calibrate_many(record, "gr4j", out=out, **TINY)
    written = out.read_bytes()
    options = {}
    if change == "version":
        monkeypatch.setattr(vardex_rs, "__version__", "0.0.0-other")
    elif change == "source":    # the same gauge read from other data
        record = dataclasses.replace(record, source=str(tmp_path / "other-camels"))
    else:
        settings = {k: v for k, v in change.items() if k == "r"}    # an optimiser setting, as a mapping
        options = {k: v for k, v in change.items() if k != "r"}
        if settings:
            options["settings"] = settings
    with pytest.raises(ValueError, match=rf"written with {field}=.*this batch has {field}="):
        vardex.calibrate_many(record, "gr4j", out=out, **TINY, **options)
    assert out.read_bytes() == written


def test_forcing_is_part_of_each_task(tmp_path, record):
    out = tmp_path / "r.csv"
    daymet = vardex.calibrate_many("01022500", "gr4j", forcing="daymet", out=out, **TINY)
    nldas = vardex.calibrate_many("01022500", "gr4j", forcing="nldas", out=out, **TINY)
    assert [r["forcing"] for r in daymet] == ["daymet"] and not daymet[0]["error"]
    assert [r["forcing"] for r in nldas] == ["nldas"] and "no such file" in nldas[0]["error"]
    both = vardex.calibrate_many("01022500", "gr4j", forcings=["daymet", "nldas"], out=out, **TINY)
    assert both.rows == daymet.rows + nldas.rows
    assert daymet[0]["source"] == str(sample_dir()) and daymet[0]["snow"] is True
    assert daymet[0]["elevation_bands"] == [record.median_elevation - 200, record.median_elevation,
                                            record.median_elevation + 200]


def test_retry_failed_reruns_error_rows_in_place(tmp_path):
    data = tmp_path / "camels"
    shutil.copytree(sample_dir(), data)
    forcing = data / "03015500_daymet_forcing.txt"
    good = forcing.read_bytes()
    forcing.write_bytes(good[:5000])
    out = tmp_path / "r.csv"
    args = ["batch", data, "--models", "gr4j", "--seeds", "1-2", "--max-steps", "1", "--no-progress", "--out", out]
    assert run(*args).returncode == 1
    forcing.write_bytes(good)
    assert run(*args).returncode == 1    # without --retry-failed the failed rows stay
    assert run(*args, "--retry-failed").returncode == 0
    table = vardex.calibrate_many(["01022500", "03015500"], "gr4j", [1, 2], data_dir=data, out=out, **TINY)
    assert [(r["gauge"], r["seed"], r["error"]) for r in table] == [
        (g, s, "") for g in ("01022500", "03015500") for s in (1, 2)]
    assert out.read_text().count("\n") == 5


def test_command_line_conventions(tmp_path):
    assert run("--version").stdout.strip() == f"vardex {vardex_rs.__version__}"
    helps = run("batch", "--help").stdout
    for default in (f"(default: {DEFAULT_OPTIMISER})", "(default: 365)", "(default: auto", "(default: daymet"):
        assert default in helps
    out = run("calibrate", "01022500", "--model", "GR4J", "--optimiser", "dds", "--max-evaluations", "20",
              "--no-snow", "--forcing", "daymet", "--no-progress", "--json", tmp_path / "r.json")
    assert out.returncode == 0, out.stderr
    assert "without CemaNeige" in out.stdout.splitlines()[0]
    record = json.loads((tmp_path / "r.json").read_text())
    assert {k: record[k] for k in ("gauge", "forcing", "warmup", "optimiser", "settings", "seed", "max_evaluations",
                                   "evaluations", "version", "snow", "interrupted")} == {
        "gauge": "01022500", "forcing": "daymet", "warmup": 365, "optimiser": "dds", "settings": {"r": 0.2},
        "seed": 1, "max_evaluations": 20, "evaluations": 20, "version": vardex_rs.__version__, "snow": False,
        "interrupted": False}
    assert record["data"] == str(sample_dir())
    for args, message in ((["--seed", "99999999999999999999999"], "[0, 18446744073709551615]"),
                          (["--model", "nope"], "Valid models: gr4j, "),
                          (["--json", tmp_path / "missing" / "r.json"], "no such directory"),
                          (["--plot", tmp_path / "hydro"], "name the figure with one of the extensions")):
        out = run("calibrate", "01022500", *args)
        assert out.returncode == 2 and message in out.stderr and len(out.stderr.splitlines()) == 1
    assert not list(tmp_path.glob("hydro*"))    # matplotlib would have written hydro.png
    # A degenerate score (one day scored) is null in the JSON, which stays strict.
    out = run("calibrate", "01022500", "--optimiser", "dds", "--max-evaluations", "20", "--no-snow", "--no-progress",
              "--period", "2001-06-01:2001-06-01", "--json", tmp_path / "one.json")
    assert out.returncode == 0, out.stderr
    scores = json.loads((tmp_path / "one.json").read_text(), parse_constant=pytest.fail)["metrics"]
    assert None in scores.values()


def test_python_api_takes_gauge_ids_model_names_in_any_case_and_decides_snow(record):
    r = vardex.calibrate("01022500", "GR4J", optimiser="dds", max_evaluations=10, progress=False)
    assert r.model == "gr4j" and r.snow is True and "ctg" in r.params    # Maine: freezes on > 5 % of days
    warm = dataclasses.replace(record, temperature=np.abs(record.temperature))
    assert vardex.calibrate(warm, "gr4j", optimiser="dds", max_evaluations=10, progress=False).snow is False
    with pytest.raises(TypeError, match="Catchment.*load_camels"):
        vardex.calibrate(42, "gr4j")
    with pytest.raises(ValueError, match="Unknown hydro model 'nope'. Valid models: gr4j, bucket"):
        vardex.compare(record, ["GR4J", "nope"])


def watch(process, needle):
    """Read ``process``'s stderr in the background; wait until ``needle`` shows up in it."""
    seen, found = [], threading.Event()

    def read():
        for chunk in iter(lambda: process.stderr.read1(4096), b""):
            seen.append(chunk.decode(errors="replace"))
            if needle in "".join(seen):
                found.set()
        found.set()
    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    assert found.wait(120), "".join(seen)
    return reader, seen


@pytest.mark.parametrize("command, signum", [
    (["calibrate", "--json", "{json}"], signal.SIGINT),
    (["compare", "--models", "gr4j,hbv", "--json", "{json}"], signal.SIGTERM),
    (["batch", "--seeds", "1-1000000", "--gauges", "01022500", "--models", "gr4j", "--out", "{csv}"], signal.SIGTERM),
])
def test_interrupted_runs_never_exit_as_success(tmp_path, command, signum):
    paths = {"{json}": str(tmp_path / "r.json"), "{csv}": str(tmp_path / "r.csv")}
    args = [paths.get(a, a) for a in command]
    if command[0] != "batch":
        args[1:1] = ["01022500", "--optimiser", "dds", "--max-evaluations", "100000000"]
    process = subprocess.Popen([VARDEX, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    # A million seeds start at once; the calibrations stop after their first optimiser step.
    reader, seen = watch(process, "task" if command[0] == "batch" else "evals=")
    process.send_signal(signum)
    process.wait(timeout=120)
    reader.join()
    stdout = process.stdout.read()
    assert process.returncode == 128 + signum, "".join(seen)
    assert "interrupted" in "".join(seen)
    if command[0] == "batch":
        log = results.ResultsLog(paths["{csv}"], {})    # complete rows only, each readable
        log.close()
        return
    lines = stdout.decode().splitlines()
    assert any(line.startswith("gr4j") and "interrupted after" in line for line in lines), lines
    record = json.loads(open(paths["{json}"]).read())
    assert record["interrupted"] is True
    if command[0] == "compare":
        assert record["not_run"] == ["hbv"]


@pytest.mark.parametrize("command, delay", [
    (["batch", "--dask", "--workers", "1", "--models", "gr4j", "--seeds", "1-200", "--out", "{csv}"], 0.5),
    (["batch", "--dask", "--workers", "1", "--models", "gr4j", "--seeds", "1-200", "--out", "{csv}"], 1.5),
    (["report", "{big}", "--out", "{dir}"], 0.3),     # while importing or reading
])
def test_ctrl_c_at_any_moment_ends_as_interrupted(tmp_path, command, delay):
    if "--dask" in command:
        pytest.importorskip("distributed")
        if os.environ.get("VARDEX_SANITIZED") == "1":
            # Worker processes under the sanitizer runtime start and stop many times slower, so the moment the
            # signal lands at is not the one this test means; the plain suite runs it.
            pytest.skip("a Dask start's timing under the sanitizers is not the one tested")
    big = tmp_path / "big.csv"
    row = dict.fromkeys(results.COLUMNS, "")
    row.update(gauge="g", forcing="daymet", model="gr4j", nse=0.5, kge=0.5, snow=False, snow_mode="off")
    results.BatchResults([{**row, "seed": s} for s in range(20000)]).to_csv(big)
    paths = {"{csv}": tmp_path / "r.csv", "{big}": big, "{dir}": tmp_path / "report"}
    process = subprocess.Popen([VARDEX, *(str(paths.get(a, a)) for a in command), *(
        ["--no-progress"] if command[0] == "batch" else [])], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        start_new_session=True)
    try:
        time.sleep(delay)
        process.send_signal(signal.SIGINT)
        _, err = process.communicate(timeout=90)
    finally:
        if process.poll() is None:    # never leave a batch and its cluster running behind a failed test
            os.killpg(process.pid, signal.SIGKILL)
    # 130, or killed by the signal itself before Python set up its handler: both are "interrupted" to a shell.
    assert process.returncode in (130, -signal.SIGINT), err
    assert b"Traceback" not in err
