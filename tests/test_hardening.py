"""Faults a hostile or careless user can reach: interpreter exit during a call, a worker pool that cannot
start all its threads, sub-interpreters, a cleared sys.modules, oversized views and failing __float__."""
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import vardex_rs

# Address-space limits and huge allocations do not mix with the sanitizers' allocator.
sanitized = pytest.mark.huge_alloc


def run_python(script, timeout=120):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True,
                          timeout=timeout)


def test_exit_while_daemon_threads_are_inside_calls():
    # The threads are inside computations when the interpreter finalizes; taking the lock back then ends
    # them with a forced unwind, which must pass through the module's frames without aborting.
    script = """
        import threading, time, numpy as np, vardex, vardex_rs
        from vardex_rs.calibration.dds import Dds
        n = 3_000_000
        p, e = np.ones(n), np.ones(n)
        d = vardex_rs.hydro.gr4j.init()[0]
        def loop(call):
            while True:
                call()
        f = (p[:200_000], None, e[:200_000], None, None, None, p[:200_000], 0)
        calls = [lambda: vardex_rs.hydro.gr4j.simulate(d, p, e), lambda: vardex.model_states("gr4j", d, p, e),
                 lambda: Dds("gr4j", None, "nse", "none", 0.2, 10**9, 1).step(*f)]
        for call in calls:
            threading.Thread(target=loop, args=(call,), daemon=True).start()
        time.sleep(0.05)
        garbage = [[i] * 3 for i in range(1_500_000)]
    """
    for _ in range(3):
        proc = run_python(script)
        assert proc.returncode == 0, proc.stderr[-2000:]
        assert "terminate" not in proc.stderr


@sanitized
@pytest.mark.parametrize("spare_mib", [1, 9])
def test_pool_that_cannot_start_its_workers(spare_mib):
    # Under an address-space limit the pool gets fewer threads than processors, or none: the
    # calibration still runs, on the workers it got, to exactly the unrestricted result.
    script = f"""
        import resource, sys, numpy as np, vardex_rs
        from vardex_rs.calibration.sce import Sce
        p = np.random.default_rng(0).gamma(0.6, 6.0, 400)
        e = np.full(400, 2.0)
        obs = vardex_rs.hydro.gr4j.simulate(np.array([300.0, 0.5, 80.0, 2.0]), p, e)
        f = (p, None, e, None, None, None, obs, 50)
        if sys.argv[-1] == "limit":
            used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
            resource.setrlimit(resource.RLIMIT_AS, (used + {spare_mib} * 2**20, resource.RLIM_INFINITY))
        s = Sce("gr4j", None, "nse", "none", 3, 3, 0.1, 0.001, 400, 5)
        s.init(*f)
        print(s.step(*f)[3].tolist())
        print(vardex_rs.metrics.calculate_nse(obs, obs))
    """
    free = subprocess.run([sys.executable, "-c", textwrap.dedent(script), "free"], capture_output=True, text=True,
                          timeout=60)
    limited = subprocess.run([sys.executable, "-c", textwrap.dedent(script), "limit"], capture_output=True,
                             text=True, timeout=60)
    assert free.returncode == 0 and limited.returncode == 0, limited.stderr[-2000:]
    assert limited.stdout == free.stdout


def test_later_sub_interpreter_is_refused_after_the_owner_is_gone():
    pytest.importorskip("_xxsubinterpreters")
    proc = run_python("""
        import _xxsubinterpreters as interpreters
        first = interpreters.create()
        interpreters.run_string(first, "import vardex_rs; assert vardex_rs.hydro.gr4j.init()[0][0] == 755.0")
        interpreters.destroy(first)
        for _ in range(5):  # a new interpreter may reuse the address of the destroyed one
            iid = interpreters.create()
            try:
                interpreters.run_string(iid, "import vardex_rs")
            except interpreters.RunFailedError as err:
                assert "ImportError" in str(err), err
            else:
                raise SystemExit("a stale module was handed to a later interpreter")
            interpreters.destroy(iid)
    """)
    assert proc.returncode == 0, proc.stderr[-2000:]


def test_import_after_clearing_sys_modules():
    proc = run_python("""
        import sys, vardex_rs
        first = vardex_rs
        for name in [k for k in sys.modules if k == "vardex_rs" or k.startswith("vardex_rs.")]:
            del sys.modules[name]
        import vardex_rs.hydro.gr4j
        from vardex_rs.calibration.sce import Sce
        assert vardex_rs is first and vardex_rs.hydro.gr4j is first.hydro.gr4j
        assert sys.modules["vardex_rs.snow.cemaneige"] is first.snow.cemaneige
        assert Sce is first.calibration.sce.Sce
    """)
    assert proc.returncode == 0, proc.stderr[-2000:]


@sanitized
def test_view_too_large_to_copy_names_argument_and_size():
    huge = np.broadcast_to(np.float64(1.0), (2**50,))
    with pytest.raises(MemoryError, match=r"^argument 'precipitation': unable to allocate 8\.00 PiB for a copy "
                                          r"of 1125899906842624 float64 values$"):
        vardex_rs.hydro.gr4j.simulate(np.ones(4), huge, np.ones(3))
    days = np.broadcast_to(np.uint64(1), (2**50,))
    with pytest.raises(MemoryError, match=r"^argument 'day_of_year': .* uint64 values$"):
        vardex_rs.pet.oudin.simulate(np.ones(3), days, 45.0)


class Raising:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


@pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(3), MemoryError("no room")])
def test_float_conversion_lets_interrupts_through(error):
    with pytest.raises(type(error)) as got:
        vardex_rs.pet.oudin.simulate(np.ones(3), np.ones(3, dtype=np.uint64), Raising(error))
    assert got.value is error


def test_float_conversion_failure_keeps_its_cause():
    cause = ZeroDivisionError("bad latitude")
    with pytest.raises(TypeError, match=r"^argument 'latitude': ") as got:
        vardex_rs.pet.oudin.simulate(np.ones(3), np.ones(3, dtype=np.uint64), Raising(cause))
    assert got.value.__cause__ is cause
    layers = np.ones(1)
    with pytest.raises(TypeError, match=r"^argument 'median_elevation': ") as got:
        vardex_rs.snow.cemaneige.simulate(np.ones(3), layers, layers, np.ones(1, dtype=np.uint64), layers, "x")
    assert isinstance(got.value.__cause__, TypeError)


class Reentrant:
    """A float whose conversion runs other computations first, on other series of the same sizes."""

    def __init__(self, value, call):
        self.value, self.call, self.results = value, call, []

    def __float__(self):
        self.results.append(self.call())
        return self.value


def test_argument_copies_survive_a_call_made_while_converting_a_later_argument():
    # The copies of the series converted first must not be handed to the nested call.
    rng = np.random.default_rng(5)
    n = 5000
    t, other_t = rng.uniform(-20, 30, n), rng.uniform(-20, 30, n)
    doy = (np.arange(n) % 365 + 1).astype(np.uint64)
    other_doy = doy[::-1].copy()
    latitude = Reentrant(44.0, lambda: vardex_rs.pet.oudin.simulate(other_t, other_doy, -20.0))
    got = vardex_rs.pet.oudin.simulate(t, doy, latitude)
    np.testing.assert_array_equal(got, vardex_rs.pet.oudin.simulate(t, doy, 44.0))
    np.testing.assert_array_equal(latitude.results[0], vardex_rs.pet.oudin.simulate(other_t, other_doy, -20.0))

    snow = vardex_rs.snow.cemaneige
    params, layers = snow.init()[0], np.array([100.0, 300.0, 500.0])
    p = rng.gamma(0.6, 6.0, n)
    nested = lambda: snow.simulate(params, p[::-1].copy(), other_t, other_doy, layers, 250.0)  # noqa: E731
    median = Reentrant(300.0, nested)
    got = snow.simulate(params, p, t, doy, layers, median)
    np.testing.assert_array_equal(got, snow.simulate(params, p, t, doy, layers, 300.0))
    np.testing.assert_array_equal(median.results[0], nested())


@sanitized
@pytest.mark.parametrize("case", ["model", "oudin", "cemaneige"])
def test_failing_check_wins_over_a_result_that_cannot_be_allocated(case):
    # The inputs can be copied but the result array cannot be allocated: a failing check is still the
    # error raised, and with valid inputs the MemoryError is.
    copies = 3 if case == "cemaneige" else 2  # of 400 MB each; the result would be one more
    script = f"""
        import resource, numpy as np, vardex_rs
        n = 50_000_000
        ones = np.broadcast_to(1.0, n)
        days = np.broadcast_to(np.uint64(100), n)
        used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + ({copies} * 400 + 200) * 2**20, resource.RLIM_INFINITY))
        gr4j, oudin, snow = vardex_rs.hydro.gr4j, vardex_rs.pet.oudin, vardex_rs.snow.cemaneige
        calls = {{
            "model": (lambda: gr4j.simulate(np.ones(3), ones, ones), lambda: gr4j.simulate(gr4j.init()[0], ones, ones)),
            "oudin": (lambda: oudin.simulate(ones, days, 95.0), lambda: oudin.simulate(ones, days, 45.0)),
            "cemaneige": (lambda: snow.simulate(snow.init()[0], ones, ones, days[:n - 1], np.ones(1), 1.0),
                          lambda: snow.simulate(snow.init()[0], ones, ones, days, np.ones(1), 1.0)),
        }}
        for call in calls["{case}"]:
            try:
                call()
            except Exception as e:
                print(type(e).__name__, str(e))
    """
    proc = run_python(script)
    assert proc.returncode == 0, proc.stderr[-2000:]
    lines = proc.stdout.splitlines()
    expected_first = {
        "model": "VardexValidationError expected 4 params, got 3",
        "oudin": "VardexValidationError Latitude 95 outside valid range [-90, 90]",
        "cemaneige": "VardexValidationError precipitation, temperature and day_of_year must have the same length "
                     "(got 50000000, 50000000 and 49999999)",
    }[case]
    assert lines[0] == expected_first
    assert len(lines) == 2 and lines[1].startswith("MemoryError"), lines
