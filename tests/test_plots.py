"""The figures of a calibration and the report of a batch results file, as a reader would check them."""
import os
import shutil
import dataclasses
import subprocess
import sys
import warnings

import numpy as np
import pytest

import vardex

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.dates as mdates  # noqa: E402
import matplotlib.pyplot as plt  # noqa: E402

from vardex import plot  # noqa: E402


@pytest.fixture(autouse=True)
def _close_figures():
    yield
    plt.close("all")


@pytest.fixture(scope="module")
def catchment():
    return vardex.load_camels("01022500")


@pytest.fixture(scope="module")
def split_result(catchment):
    """A GR4J calibration over the given day indices (inclusive), with its samples kept."""
    def make(calibration, validation=None, warmup=365, spinup=0):
        def dates(first, last):
            return catchment.dates[first], catchment.dates[last]
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", vardex.WarmupWarning)
            return vardex.calibrate(catchment, "gr4j", snow=False, optimiser="dds", max_evaluations=150, progress=False,
                                    period=dates(*calibration), validation=validation and dates(*validation),
                                    warmup=warmup, spinup=spinup, keep="all")

    return make


def _spans(ax):
    """The (first, last) day of each shaded span of an axes, in order of drawing."""
    spans = []
    for patch in ax.patches:
        x0, x1 = patch.get_bbox().intervalx
        spans.append((mdates.num2date(x0).date().isoformat(), mdates.num2date(x1).date().isoformat()))
    return spans


@pytest.mark.parametrize("case", ["warmup 730", "split sample"])
def test_hydrograph_shades_and_scores_the_periods_the_result_used(catchment, split_result, tmp_path, case):
    n = len(catchment)
    day = lambda i: str(catchment.dates[i])  # noqa: E731
    if case == "warmup 730":
        result = split_result((730, n - 1), warmup=730)
        expected = [(day(0), day(730)), (day(730), day(n - 1))]
    else:    # validation first, the calibration's warm-up inside it
        result = split_result((800, n - 1), (200, 799), warmup=365, spinup=2)   # 200 days before validation
        expected = [(day(435), day(800)), (day(0), day(200)), (day(800), day(n - 1)), (day(200), day(799))]
    fig = plot.hydrograph(catchment, result, log=case == "split sample", path=str(tmp_path / "h.png"))
    assert (tmp_path / "h.png").stat().st_size > 10_000
    rain, flow = fig.axes
    assert rain.get_ylim()[0] > rain.get_ylim()[1] == 0 and "mm/day" in rain.get_ylabel()
    assert flow.get_ylabel() == "streamflow (mm/day)" and flow.get_yscale() == ("log" if case == "split sample"
                                                                              else "linear")
    assert _spans(flow) == expected and _spans(rain) == expected
    assert [t.get_text() for t in flow.get_legend().get_texts()] == ["observed", "simulated (gr4j)",
                                                                    "simulated, warm-up"]
    labels = " | ".join(t.get_text() for t in flow.texts)
    assert f"calibration {expected[-2 if result.validation else -1][0]}" in labels
    assert f"NSE {result.metrics['nse']:.2f}  KGE {result.metrics['kge']:.2f}" in labels
    if result.validation:
        assert f"validation {day(200)} to {day(799)}" in labels and f"KGE {result.validation['kge']:.2f}" in labels
        assert "200 d" in labels and "+2 spin-up" in labels and "365 d" not in labels   # covered by validation
    else:
        assert "warm-up\n 730 d" in labels
        assert f"on {np.isfinite(catchment.observed[730:]).sum()} days observed" in labels


def test_hydrograph_refuses_a_result_that_does_not_fit_the_catchment(catchment, split_result):
    result = split_result((730, len(catchment) - 1))
    with pytest.raises(ValueError, match="calibrated on 01022500, not on 03015500"):
        plot.hydrograph(vardex.load_camels("03015500"), result)
    short = dataclasses.replace(result, simulation=result.simulation[1:])
    with pytest.raises(ValueError, match="does not cover its warm-up"):
        plot.hydrograph(catchment, short)


def test_flow_duration_curves_are_of_the_observed_days_of_each_period(catchment, split_result):
    result = split_result((800, len(catchment) - 1), (200, 799))
    ax, = plot.flow_duration(catchment, result).axes
    assert ax.get_yscale() == "log" and ax.get_xlabel() == "exceedance probability (%)"
    assert ax.get_ylabel() == "streamflow (mm/day)"
    lines = ax.get_lines()
    assert [line.get_label().split(",")[0] for line in lines] == ["observed", "simulated"] * 2
    observed = catchment.observed[800:]
    x, y = lines[0].get_data()
    np.testing.assert_array_equal(y, np.sort(observed[np.isfinite(observed)])[::-1])
    assert 0 < x[0] < x[-1] < 100 and len(lines[1].get_xdata()) == len(x)


def test_convergence_and_dotty_plots_draw_the_kept_samples(split_result):
    result = split_result((365, 1400))
    by_step, by_evaluation = plot.convergence(result).axes
    assert by_step.get_xlabel() == "optimiser step" and by_evaluation.get_xlabel() == "model evaluations"
    np.testing.assert_array_equal(by_step.get_lines()[0].get_ydata(), result.history)
    best = by_evaluation.get_lines()[1].get_ydata()
    assert np.all(np.diff(best) >= 0) and best[-1] == np.max(result.samples["score"])
    axes = [ax for ax in plot.dotty(result).axes if ax.get_visible()]
    assert [ax.get_xlabel().split(":")[0] for ax in axes] == ["x1", "x2", "x3", "x4"] and axes[0].get_ylabel() == "NSE"
    for ax, name in zip(axes, result.params):
        dots, star = ax.get_lines()
        assert star.get_xdata()[0] == result.params[name] and np.all(dots.get_ydata() >= -1)

    unkept = dataclasses.replace(result, samples=None)
    alone, = plot.convergence(unkept).axes
    assert f"{result.evaluations} evaluations in all" in alone.get_xlabel()
    with pytest.raises(ValueError, match='keep="all"'):
        plot.dotty(unkept)


def test_plots_are_written(tmp_path, catchment, split_result):
    result = split_result((365, len(catchment) - 1))
    plot.hydrograph(catchment, result, path=str(tmp_path / "h.png"))
    plot.convergence(result, path=str(tmp_path / "c.png"))
    assert (tmp_path / "h.png").stat().st_size > 1000 and (tmp_path / "c.png").stat().st_size > 1000


@pytest.mark.parametrize("plant", ["fifo", "directory", "device"])
def test_a_figure_is_written_only_to_a_regular_file_when_it_is_written(tmp_path, catchment, split_result, plant):
    from vardex import _files

    result = split_result((365, len(catchment) - 1))
    path = tmp_path / "h.png"
    if plant == "fifo":
        os.mkfifo(path)      # appeared after any check made before the computation
    elif plant == "directory":
        path.mkdir()
    else:
        path.symlink_to("/dev/null")     # a link the user named is followed: to a device, refused
    with pytest.raises(_files.NotRegularFile):
        plot.hydrograph(catchment, result, path=str(path))


def test_a_figure_format_that_cannot_be_drawn_is_refused_before_any_work(tmp_path):
    if shutil.which("xelatex"):
        pytest.skip("LaTeX is installed: pgf figures can be drawn")
    run = subprocess.run([sys.executable, "-m", "vardex", "calibrate", "01022500", "--plot", str(tmp_path / "h.pgf"),
                          "--optimiser", "dds", "--max-evaluations", "100000000"], capture_output=True, text=True,
                         timeout=60)
    assert run.returncode == 2 and "cannot write .pgf figures" in run.stderr and run.stdout == ""
    assert not (tmp_path / "h.pgf").exists()
