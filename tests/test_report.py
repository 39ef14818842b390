"""vardex report and the summaries behind it, read through the one results reader: ranking, failures filed
under the configuration that ran, outputs written only as regular files, and a study-sized file in linear time."""
import csv
import json
import os
import subprocess
import sys

import pytest

from vardex import report, results

pytest.importorskip("matplotlib")

SETTINGS = dict(snow_mode="off", optimiser="sce", objective="nse", transformation="none", warmup=365, period="",
                validation="", spinup=0, max_steps=None, max_evaluations=10000, settings="{}", version="0",
                source="/data", elevation_bands=None)


def row(gauge, model, seed, nse=None, kge=None, val_nse=None, val_kge=None, x1=None, snow=False, error="",
        forcing="daymet", **extra):
    values = dict.fromkeys(results.COLUMNS)
    values.update(SETTINGS, gauge=gauge, forcing=forcing, model=model, seed=seed, nse=nse, kge=kge,
                  val_nse=val_nse, val_kge=val_kge, x1=x1, snow=None if error else snow, error=error, **extra)
    return values


def write(path, rows):
    results.BatchResults(rows).to_csv(path)
    return path


def table_rows(text):
    return [[c.strip() for c in line.strip("|").split("|")] for line in text.splitlines() if line.startswith("| ")][1:]


# gauge, model, seed, nse, kge, val_nse, val_kge, x1
_ROWS = [("A", "gr4j", 1, 0.80, 0.70, 0.60, 0.50, 100.0), ("A", "gr4j", 2, 0.90, 0.75, 0.65, 0.55, 249.0),
         ("B", "gr4j", 1, 0.50, 0.40, 0.30, 0.20, 100.0), ("C", "gr4j", 1, 0.70, 0.60, 0.50, 0.40, 100.0),
         ("A", "hbv", 1, 0.60, 0.50, 0.70, 0.60, None), ("B", "hbv", 1, 0.40, 0.30, 0.50, 0.40, None)]


def study(path, validation=True):
    rows = [row(g, m, s, n, k, *((vn, vk) if validation else (None, None)), x1=x, fhv=-10.0 * s, bfi_error=0.01 * s)
            for g, m, s, n, k, vn, vk, x in _ROWS]
    return write(path, rows + [row("C", "hbv", 1, error="DataError: boom")])


@pytest.mark.parametrize("validation", [True, False])
def test_ranking_by_the_median_of_the_best_seed_per_catchment(tmp_path, validation):
    summary = report.summarize(study(tmp_path / "r.csv", validation))
    rows = table_rows(report.ranking(summary))
    if validation:   # gr4j: A's seed 2 is its best calibration; hbv ranks first on validation NSE
        assert rows == [["1", "hbv", "2", "1", "0.400", "0.500", "0.500", "0.600"],
                        ["2", "gr4j", "3", "0", "0.600", "0.700", "0.400", "0.500"]]
    else:
        assert rows == [["1", "gr4j", "3", "0", "0.600", "0.700"], ["2", "hbv", "2", "1", "0.400", "0.500"]]
    assert report.parameter_spread(summary) == {"gr4j": {"x1": [pytest.approx(10.0)], "x2": [], "x3": [],
                                                         "x4": []}}


def test_forcings_are_kept_apart(tmp_path):
    rows = [row("A", "gr4j", x1 % 100 // 10 + 1, nse, nse, x1=float(x1), forcing=forcing)
            for forcing, x1, nse in (("daymet", 100, 0.8), ("daymet", 110, 0.7), ("nldas", 900, 0.4),
                                     ("nldas", 910, 0.3))]
    summary = report.summarize(write(tmp_path / "r.csv", rows))
    assert "| gr4j (daymet) | 1 | 0 | 0.800 |" in report.ranking(summary)
    assert "| gr4j (nldas) | 1 | 0 | 0.400 |" in report.ranking(summary)
    spread = report.parameter_spread(summary)    # across seeds of one forcing, not across forcings
    assert spread["gr4j (daymet)"]["x1"] == spread["gr4j (nldas)"]["x1"] == [pytest.approx(100 * 10 / 1490)]


@pytest.mark.parametrize("mode, elsewhere, expected", [
    ("auto", [("A", True)], "gr4j+snow"),           # the same catchment ran with snow
    ("on", [], "gr4j+snow"), ("off", [], "gr4j"),    # nothing ran there: the snow mode says
    ("auto", [("B", True), ("C", True)], "gr4j+snow"),   # as most of the model's runs
])
def test_failed_runs_are_filed_under_the_configuration_that_ran(tmp_path, mode, elsewhere, expected):
    ok = [row(g, "gr4j", 1, 0.5, 0.5, snow=snow, snow_mode=mode) for g, snow in elsewhere]
    failed = [row("A", "gr4j", s, error="RuntimeError: x", snow_mode=mode) for s in (2, 3)]
    summary = report.summarize(write(tmp_path / "r.csv", ok + failed))
    assert summary.failed == {expected: 2, **({} if expected in {r.model for r in summary.runs} or not ok else {})}
    assert [r[1] for r in table_rows(report.ranking(summary))] == [expected]


def test_the_last_row_of_a_task_wins_as_on_resume(tmp_path):
    # An interrupted --retry-failed leaves superseded error rows before the retried ones.
    rows = [row(g, "gr4j", s, error="DataError: x") for g in "ABCD" for s in (1, 2, 3)]
    rows += [row(g, "gr4j", s, 0.5, 0.5) for g in "AB" for s in (1, 2)]
    summary = report.summarize(write(tmp_path / "r.csv", rows))
    assert summary.failed == {"gr4j": 8} and len(summary.runs) == 4


@pytest.mark.parametrize("name", ["a|b", "a\nb", "a\\|b"])
def test_markdown_cells_hold_any_model_text(tmp_path, name):
    summary = report.summarize(write(tmp_path / "r.csv", [row("A", name, 1, 0.5, 0.5)]))
    line = [x for x in report.ranking(summary).splitlines() if x.startswith("| 1 |")][0]
    assert "\n" not in line and len(line.replace("\\|", "").split("|")) == 8


def test_a_quoted_field_starting_with_a_hash_is_data(tmp_path):
    rows = [row("A", "gr4j", 1, 0.5, 0.5, error=""), row("B", "gr4j", 1, error="#\nnot a comment"),
            row("C", "gr4j", 1, 0.7, 0.7)]
    summary = report.summarize(write(tmp_path / "r.csv", rows))
    assert len(summary.runs) == 2 and summary.failed == {"gr4j": 1}


def test_a_study_sized_file_reads_in_linear_time(tmp_path):
    # 671 gauges x 20 models x 10 seeds would take minutes if anything were quadratic in catchments.
    rows = [row(f"{g:08d}", f"m{m}", s, 0.5 + s / 100, 0.5) for g in range(400) for m in range(2) for s in range(3)]
    summary = report.summarize(write(tmp_path / "r.csv", rows))
    text = report.ranking(summary)
    assert "| 400 | 0 |" in text and "(up to 3)" in text


def vardex_cli(*args):
    return subprocess.run([sys.executable, "-m", "vardex", *map(str, args)], capture_output=True, text=True,
                          timeout=120)


def test_report_command_writes_the_figures_and_tables(tmp_path):
    out = vardex_cli("report", study(tmp_path / "r.csv"), "--out", tmp_path / "report")
    assert out.returncode == 0, out.stderr
    assert "| 1 | hbv |" in out.stdout
    written = sorted(p.name for p in (tmp_path / "report").iterdir())
    assert written == ["diagnostics.md", "kge_cdf.png", "nse_cdf.png", "parameter_spread.md", "parameter_spread.png",
                       "ranking.md", "signature_errors.png"]


@pytest.mark.parametrize("name, content, message", [
    ("missing.csv", None, "no such file"),
    ("forcing.txt", "Date\tprcp\n1980-01-01\t3.1\n", "not a results file"),
    ("other.csv", "gauge,model,seed,nse,kge,error\n", "other columns"),
    ("empty.csv", ",".join(results.COLUMNS) + "\n", "has no rows"),
    ("binary.csv", b"\xff\xfe\x00gauge", "not UTF-8"),
    ("fifo", "FIFO", "a FIFO"),
])
def test_report_of_a_file_that_is_not_a_results_file_exits_2(tmp_path, name, content, message):
    path = tmp_path / name
    if content == "FIFO":
        os.mkfifo(path)
    elif isinstance(content, bytes):
        path.write_bytes(content)
    elif content is not None:
        path.write_text(content)
    out = vardex_cli("report", path, "--out", tmp_path / "report")
    assert out.returncode == 2 and message in out.stderr and len(out.stderr.strip().splitlines()) == 1
    assert not (tmp_path / "report").exists()


@pytest.mark.parametrize("plant, message", [
    ("symlink", "a symbolic link"), ("fifo", "a FIFO"), ("directory", "a directory"), ("out-is-file", "not a directory"),
    ("out-empty", "an empty directory name"),
])
def test_report_writes_only_regular_files_of_its_own(tmp_path, plant, message):
    path = study(tmp_path / "r.csv")
    out, victim = tmp_path / "report", tmp_path / "notes.txt"
    victim.write_text("mine")
    out.mkdir()
    if plant == "symlink":
        (out / "ranking.md").symlink_to(victim)
    elif plant == "fifo":
        os.mkfifo(out / "kge_cdf.png")
    elif plant == "directory":
        (out / "parameter_spread.md").mkdir()
    elif plant == "out-is-file":
        out = victim
    else:
        out = ""
    run = vardex_cli("report", path, "--out", out)
    assert run.returncode == 2 and message in run.stderr and len(run.stderr.strip().splitlines()) == 1
    assert victim.read_text() == "mine"
    assert not (tmp_path / "ranking.md").exists() and not os.path.exists("ranking.md")


def test_an_old_schema_file_is_read_but_not_appended_to(tmp_path):
    new = study(tmp_path / "new.csv")
    old = tmp_path / "old.csv"
    with open(old, "w", newline="") as f:    # vardex 0.7's layout: no schema column, fewer result columns
        writer = csv.writer(f, lineterminator="\n")
        writer.writerow(results._SCHEMA_1)
        for r in results.read_results(new):
            writer.writerow([results.format_value(r[c]) for c in results._SCHEMA_1])
    assert [r.gauge for r in report.summarize(old).runs] == [r.gauge for r in report.summarize(new).runs]
    with pytest.raises(results.ResultsError, match="schema 1 .* give a new file"):
        results.ResultsLog(old, {})
    assert json.loads(json.dumps(report.summarize(old).failed)) == {"hbv": 1, "gr4j": 0}


def test_diagnostics_say_how_the_seeds_agree_and_what_the_runs_leaned_on(tmp_path):
    rows = [row("A", "gr4j", 1, 0.8, 0.7, x1=100.0, created_water=0.1, aet_pet=0.9, kge_beta=1.1, pbias=10.0,
                at_bounds="x1=lower", fhv=-5.0),
            row("A", "gr4j", 2, 0.7, 0.6, x1=300.0, created_water=0.3, aet_pet=1.2, kge_beta=0.9, pbias=-10.0,
                fhv=20.0),
            row("B", "gr4j", 1, 0.5, 0.5, x1=200.0, created_water=0.2, aet_pet=1.0, kge_beta=1.0, pbias=0.0, fhv=3.0)]
    summary = report.summarize(write(tmp_path / "r.csv", rows))
    cells = table_rows(report.diagnostics_table(summary))
    # seed spread of A only (B ran one seed); medians over A's best seed (1) and B
    assert cells == [["gr4j", "0.100", "–", "–", "1.050", "5.000", "15.000", "–", "0.950", "-1.000", "–", "–",
                      "–", "1 of 3"]]
    assert report.signature_errors(summary) == {"gr4j": {"fhv": [-5.0, 3.0], "flv": [], "fms": [], "bfi_error": []}}
    assert report.pinned(summary) == {"gr4j": {"x1": 1}}
    assert "| gr4j | x1 | 1 | 13.4 | 13.4 | 1 |" in report._spread_table(report.parameter_spread(summary),
                                                                        report.pinned(summary))
