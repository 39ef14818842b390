"""The vardex command line and the plots, run as a user would."""
import json
import subprocess
import sys

import pytest

import vardex_rs

import vardex as vardex_module


def vardex(*args, timeout=300):
    return subprocess.run([sys.executable, "-m", "vardex", *args], capture_output=True, text=True, timeout=timeout)


def test_models_lists_all_twenty():
    out = vardex("models")
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()[:22]    # the table: a header, twenty models and CemaNeige; then notes
    assert lines[0].split()[:2] == ["model", "N"]
    assert [line.split()[0] for line in lines[1:]] == [k for k in vars(vardex_rs.hydro) if not k.startswith("__")
                                                       ] + ["cemaneige"]
    assert lines[1].split()[1] == "4" and "Production store capacity (mm)" in lines[1]


def test_calibrate_writes_table_and_json(tmp_path):
    result_file = tmp_path / "r.json"
    out = vardex("calibrate", "01022500", "--model", "gr4j", "--optimiser", "dds", "--seed", "3", "--no-snow", "--no-progress",
                 "--json", str(result_file))
    assert out.returncode == 0, out.stderr
    assert out.stderr == ""
    assert "01022500 Narraguagus River" in out.stdout and "gr4j" in out.stdout
    record = json.loads(result_file.read_text())
    assert list(record["params"]) == ["x1", "x2", "x3", "x4"]
    assert record["metrics"]["nse"] > 0.5 and record["evaluations"] > 0 and record["done"]


@pytest.mark.parametrize("args, message", [
    (["calibrate", "99999999"], "99999999"),
    (["calibrate", "01022500", "--data", "/nonexistent"], "/nonexistent"),
    (["calibrate", "01022500", "--warmup", "-1"], "warmup must be an integer in [0, "),
    (["calibrate", "01022500", "--optimiser", "nope"], "Unknown optimiser 'nope'. Valid options: sce, dds"),
    (["compare", "01022500", "--models", "gr4j,nope"], "nope"),
])
def test_bad_arguments_and_data_exit_2_with_one_line(args, message):
    out = vardex(*args)
    assert out.returncode == 2 and out.stdout == ""
    assert len(out.stderr.strip().splitlines()) == 1 and message in out.stderr


def test_malformed_option_is_argparse_usage_error():
    out = vardex("calibrate", "01022500", "--warmup", "ten")
    assert out.returncode == 2 and "expected a whole number" in out.stderr and "--help" in out.stderr


def test_plot_without_matplotlib_says_how_to_get_it(tmp_path, monkeypatch):
    from vardex import plot

    monkeypatch.setitem(sys.modules, "matplotlib", None)
    with pytest.raises(ImportError, match=r"plotting needs matplotlib: pip install"):
        plot.convergence(object(), path=str(tmp_path / "c.png"))


@pytest.mark.parametrize("value, text", [(-1e308, "-1e+308"), (0.12345, "0.123"), (-0.5, "-0.500"),
                                         (float("-inf"), "-inf"), (2.5e7, "2.5e+07"), (0.0, "0.000")])
def test_scores_are_printed_short_whatever_their_size(value, text):
    from vardex import cli, report

    assert cli._number(value) == text
    assert report._cell(value) == (text if value != float("-inf") else "–")


def test_frictions_of_a_real_session(tmp_path):
    """Small things a user meets on the way, each through the real command."""
    gauges = tmp_path / "basins.txt"
    gauges.write_text("01022500\n# the second sample\n\n03015500\n")
    out = tmp_path / "r.csv"
    run = vardex("batch", "--gauges", f"@{gauges}", "--models", "gr4j", "--max-steps", "1", "--out", str(out),
                 "--no-progress", "--forcing", "Daymet", "--objective", "KGE", "--period", "2001:2001",
                 "--validation", "2002:2002")
    assert run.returncode == 0, run.stderr
    head, columns, row = run.stdout.splitlines()[:3]
    assert head.startswith("2 of 2 tasks") and "val NSE median" in columns and "nan" not in row
    assert [r["forcing"] for r in vardex_module.read_results(out)] == ["daymet", "daymet"]

    hint = vardex("calibrate", "1022500")
    assert hint.returncode == 2 and "did you mean 01022500?" in hint.stderr
    assert "--out" not in vardex("calibrate", "--help").stdout and "--out" in vardex("batch", "--help").stdout

    # The default period is labelled by the days it observed (the record runs a year past the observations).
    j = tmp_path / "r.json"
    label = vardex("compare", "01022500", "--models", "gr4j,hbv", "--optimiser", "dds", "--max-evaluations", "30",
                   "--json", str(j), "--plot", str(tmp_path / "best.png"), "--no-progress")
    assert label.returncode == 0, label.stderr
    assert "calibration 2000-12-31:2002-12-31 (observed days" in label.stdout
    assert json.loads(j.read_text())["period"] == ["2000-12-31", "2002-12-31"]
    assert (tmp_path / "best.png").stat().st_size > 1000


def test_what_a_result_says_reaches_the_table_the_json_and_the_batch(tmp_path):
    j = tmp_path / "r.json"
    run = vardex("compare", "01022500", "--models", "gr4j,wageningen", "--seeds", "1-2", "--optimiser", "dds",
                 "--max-evaluations", "60", "--objective", "kge", "--transformation", "log", "--period", "2001:2001",
                 "--json", str(j), "--no-progress")
    assert run.returncode == 0, run.stderr
    head, _, columns, *rows = run.stdout.splitlines()
    assert "objective kge of log(Q), seeds 1-2" in head
    assert columns.split()[:5] == ["model", "NSE", "KGE", "RMSE", "kge"] and "seed spread (2)" in columns
    wageningen = next(line for line in rows if line.startswith("wageningen"))
    assert "budget" in wageningen
    record = json.loads(j.read_text())
    for r in record["results"]:
        assert r["stop_reason"] == "budget" and r["starts"] == 1 and set(r["seed_scores"]) == {"1", "2"}
        assert {"kge_r", "kge_alpha", "kge_beta", "pbias"} <= set(r["metrics"]) and "aet_pet" in r["water"]
        assert r["objective_value"] != r["metrics"]["kge"]

    out = tmp_path / "r.csv"
    batch = vardex("batch", "--models", "wageningen", "--gauges", "01022500", "--optimiser", "sce", "--max-steps", "1",
                   "--out", str(out), "--no-progress")
    assert batch.returncode == 0, batch.stderr
    row, = vardex_module.read_results(out)
    assert row["created_water"] > 0 and row["stop_reason"] == "max_steps" and row["starts"] == 1
    assert row["kge"] == pytest.approx(1 - ((row["kge_r"] - 1) ** 2 + (row["kge_alpha"] - 1) ** 2
                                            + (row["kge_beta"] - 1) ** 2) ** 0.5)
