"""The module tree, registration in sys.modules, signatures and argument conversion."""
import importlib
import inspect
import subprocess
import sys
import threading

import numpy as np
import pytest

import vardex_rs

from helpers import MODELS

SIGNATURES = {
    "hydro.gr4j.init": "()",
    "hydro.gr4j.simulate": "(params, precipitation, pet)",
    "snow.cemaneige.init": "()",
    "snow.cemaneige.simulate": (
        "(params, precipitation, temperature, day_of_year, elevation_layers, median_elevation)"
    ),
    "pet.oudin.simulate": "(temperature, day_of_year, latitude)",
    "metrics.calculate_nse": "(observations, simulations)",
    "metrics.calculate_kge": "(observations, simulations)",
    "metrics.calculate_rmse": "(observations, simulations)",
    "calibration.sce.Sce": (
        "(hydro_model, snow_model, objective, transformation, n_complexes, k_stop, "
        "p_convergence_threshold, geometric_range_threshold, max_evaluations, seed)"
    ),
    "calibration.dds.Dds": "(hydro_model, snow_model, objective, transformation, r, max_evaluations, seed)",
}


def resolve(dotted):
    obj = vardex_rs
    for part in dotted.split("."):
        obj = getattr(obj, part)
    return obj


class TestTree:
    def test_root_attributes_in_order(self):
        names = [k for k in vars(vardex_rs) if not k.startswith("__") or k == "__version__"]
        assert names == [
            "VardexError", "VardexNumericalError", "VardexValidationError",
            "calibration", "hydro", "metrics", "pet", "snow", "__version__",
        ]
        assert vardex_rs.__version__ == "0.7.0"

    @pytest.mark.parametrize(
        "dotted, short",
        [("calibration", "calibration"), ("calibration.sce", "sce"), ("calibration.dds", "dds"),
         ("hydro", "hydro"), ("metrics", "metrics"), ("pet", "pet"), ("pet.oudin", "oudin"),
         ("snow", "snow"), ("snow.cemaneige", "cemaneige")]
        + [(f"hydro.{m}", m) for m in MODELS],
    )
    def test_submodules_registered_under_dotted_name(self, dotted, short):
        module = resolve(dotted)
        assert module.__name__ == short
        assert sys.modules["vardex_rs." + dotted] is module
        assert importlib.import_module("vardex_rs." + dotted) is module

    def test_import_statements(self):
        import vardex_rs.hydro.gr4j as g
        from vardex_rs.metrics import calculate_nse

        assert g is vardex_rs.hydro.gr4j
        assert calculate_nse is vardex_rs.metrics.calculate_nse

    def test_model_module_attributes(self):
        g = vardex_rs.hydro.gr4j
        assert [k for k in vars(g) if not k.startswith("__")] == [
            "param_names", "param_descriptions", "param_descriptions_fr", "init", "simulate",
        ]
        assert g.param_names == ["x1", "x2", "x3", "x4"]
        assert type(g.param_names) is list
        assert g.param_descriptions[3] == "Unit hydrograph time base (d)"
        assert g.param_descriptions_fr[1] == "Coefficient d'échanges souterrains (mm/d)"

    def test_classes_only_in_their_submodules(self):
        assert not hasattr(vardex_rs.calibration, "Sce")
        assert not hasattr(vardex_rs.calibration, "Dds")
        assert vardex_rs.calibration.sce.Sce.__name__ == "Sce"
        assert vardex_rs.calibration.sce.Sce.__module__ == "vardex_rs.calibration.sce"
        assert vardex_rs.calibration.dds.Dds.__module__ == "vardex_rs.calibration.dds"

    def test_snow_and_pet_modules(self):
        assert vardex_rs.snow.cemaneige.param_names == ["ctg", "kf", "qnbv"]
        assert not hasattr(vardex_rs.snow.cemaneige, "param_descriptions")
        assert [k for k in vars(vardex_rs.pet.oudin) if not k.startswith("__")] == ["simulate"]
        assert [k for k in vars(vardex_rs.metrics) if not k.startswith("__")] == [
            "calculate_rmse", "calculate_nse", "calculate_kge",
        ]

    def test_exception_hierarchy(self):
        assert issubclass(vardex_rs.VardexError, Exception)
        assert issubclass(vardex_rs.VardexNumericalError, vardex_rs.VardexError)
        assert issubclass(vardex_rs.VardexValidationError, vardex_rs.VardexError)
        assert vardex_rs.VardexValidationError.__module__ == "vardex_rs"
        assert vardex_rs.VardexError.__doc__ is None


class TestInitialisation:
    def test_second_import_returns_the_same_module(self):
        script = (
            "import sys, vardex_rs\n"
            "first = vardex_rs\n"
            "del sys.modules['vardex_rs']\n"
            "import vardex_rs\n"
            "assert vardex_rs is first\n"
            "assert sys.modules['vardex_rs.hydro.gr4j'] is first.hydro.gr4j\n"
        )
        subprocess.run([sys.executable, "-c", script], check=True)

    def test_second_interpreter_is_refused(self):
        pytest.importorskip("_xxsubinterpreters")
        script = (
            "import _xxsubinterpreters as interpreters, vardex_rs\n"
            "iid = interpreters.create()\n"
            "try:\n"
            "    interpreters.run_string(iid, 'import vardex_rs')\n"
            "except interpreters.RunFailedError as err:\n"
            "    assert 'ImportError' in str(err), err\n"
            "else:\n"
            "    raise SystemExit('imported in a second interpreter')\n"
        )
        subprocess.run([sys.executable, "-c", script], check=True)


class TestSignatures:
    @pytest.mark.parametrize("dotted, signature", SIGNATURES.items())
    def test_text_signature_and_no_doc(self, dotted, signature):
        obj = resolve(dotted)
        assert str(inspect.signature(obj)) == signature
        assert obj.__doc__ is None

    @pytest.mark.parametrize("cls", ["calibration.sce.Sce", "calibration.dds.Dds"])
    @pytest.mark.parametrize("method", ["init", "step"])
    def test_calibrator_methods(self, cls, method):
        fn = getattr(resolve(cls), method)
        assert str(inspect.signature(fn)) == (
            "(self, /, precipitation, temperature, pet, day_of_year, elevation_bands, "
            "median_elevation, observations, warmup_steps)"
        )
        assert fn.__doc__ is None

    @pytest.mark.parametrize("init", ["hydro.gr4j.init", "snow.cemaneige.init"])
    def test_init_takes_no_arguments(self, init):
        with pytest.raises(TypeError):
            resolve(init)(1)

    def test_argument_count_errors_name_the_function(self):
        sim = vardex_rs.hydro.gr4j.simulate
        x = np.ones(4)
        with pytest.raises(TypeError, match="simulate"):
            sim(x, x)
        with pytest.raises(TypeError, match="simulate"):
            sim(x, x, x, x)
        with pytest.raises(TypeError, match="simulate"):
            sim(x, x, x, params=x)
        with pytest.raises(TypeError, match="simulate"):
            sim(x, x, rain=x)


class TestArgumentConversion:
    def setup_method(self):
        self.params = np.array([350.0, 0.0, 90.0, 1.7])
        rng = np.random.default_rng(1)
        self.p = rng.gamma(0.6, 6.0, 60)
        self.e = rng.uniform(0.0, 4.0, 60)

    def test_keyword_call_equals_positional(self):
        sim = vardex_rs.hydro.gr4j.simulate
        a = sim(self.params, self.p, self.e)
        b = sim(pet=self.e, params=self.params, precipitation=self.p)
        np.testing.assert_array_equal(a, b)

    @pytest.mark.parametrize(
        "bad",
        [[1.0, 2.0], (1.0,), 3.0, None, "rain", np.arange(60), np.ones(60, dtype=np.float32),
         np.ones((60, 1)), np.ones(60, dtype=">f8"), np.array(1.0), np.ones(60, dtype=np.uint64)],
        ids=["list", "tuple", "float", "none", "str", "int64", "float32", "2d", "big-endian", "0d", "uint64"],
    )
    def test_wrong_array_types(self, bad):
        with pytest.raises(TypeError, match=r"^argument 'precipitation': "):
            vardex_rs.hydro.gr4j.simulate(self.params, bad, self.e)

    def test_first_failing_argument_in_signature_order(self):
        with pytest.raises(TypeError, match=r"^argument 'params': "):
            vardex_rs.hydro.gr4j.simulate([1.0], [2.0], [3.0])
        with pytest.raises(TypeError, match=r"^argument 'pet': "):
            vardex_rs.hydro.gr4j.simulate(self.params, self.p, list(self.e))

    def test_strided_and_reversed_views_read_in_logical_order(self):
        sim = vardex_rs.hydro.gr4j.simulate
        expected = sim(self.params, self.p, self.e)
        wide = np.zeros((60, 3))
        wide[:, 1] = self.p
        reversed_p = self.p[::-1].copy()[::-1]
        params_strided = np.repeat(self.params, 2)[::2]
        params_reversed = self.params[::-1].copy()[::-1]
        np.testing.assert_array_equal(sim(self.params, wide[:, 1], self.e), expected)
        np.testing.assert_array_equal(sim(self.params, reversed_p, self.e), expected)
        np.testing.assert_array_equal(sim(params_strided, self.p, self.e), expected)
        np.testing.assert_array_equal(sim(params_reversed, self.p, self.e), expected)

    def test_results_are_new_arrays_and_inputs_untouched(self):
        p = self.p.copy()
        out1 = vardex_rs.hydro.gr4j.simulate(self.params, p, self.e)
        out2 = vardex_rs.hydro.gr4j.simulate(self.params, p, self.e)
        assert out1.dtype == np.float64 and out1.flags.owndata and out1.flags.writeable
        assert out1 is not out2
        np.testing.assert_array_equal(p, self.p)

    def test_readonly_input_accepted(self):
        p = self.p.copy()
        p.setflags(write=False)
        np.testing.assert_array_equal(vardex_rs.hydro.gr4j.simulate(self.params, p, self.e),
                                      vardex_rs.hydro.gr4j.simulate(self.params, self.p.copy(), self.e))

    def test_init_returns_fresh_arrays(self):
        d1, b1 = vardex_rs.hydro.gr4j.init()
        d1[0] = -1.0
        d2, _ = vardex_rs.hydro.gr4j.init()
        assert d2[0] == 755.0
        assert b1.shape == (4, 2) and b1.dtype == np.float64

    def test_scalar_accepts_float_convertibles(self):
        class Lat:
            def __float__(self):
                return 45.0

        t = np.full(3, 10.0)
        doy = np.array([1, 2, 3], dtype=np.uint64)
        a = vardex_rs.pet.oudin.simulate(t, doy, Lat())
        b = vardex_rs.pet.oudin.simulate(t, doy, 45)
        np.testing.assert_array_equal(a, b)
        with pytest.raises(TypeError, match=r"^argument 'latitude': "):
            vardex_rs.pet.oudin.simulate(t, doy, "45")


class TestGilReleased:
    def test_parallel_threads_give_same_results(self):
        rng = np.random.default_rng(7)
        p = rng.gamma(0.6, 6.0, 20000)
        e = rng.uniform(0.0, 4.0, 20000)
        params = np.array([300.0, -1.0, 80.0, 2.3])
        expected = vardex_rs.hydro.gr4j.simulate(params, p, e)
        results = [None] * 4

        def work(i):
            results[i] = vardex_rs.hydro.gr4j.simulate(params, p, e)

        threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        for r in results:
            np.testing.assert_array_equal(r, expected)


@pytest.mark.huge_alloc
class TestHugeInputs:
    """Views far larger than memory (stride 0) fail with MemoryError instead of taking the process down."""

    HUGE = np.broadcast_to(np.float64(1.0), (2**50,))
    HUGE_DAYS = np.broadcast_to(np.uint64(1), (2**50,))

    def test_every_entry_point(self):
        from vardex_rs.calibration.dds import Dds
        from vardex_rs.calibration.sce import Sce

        h, d = self.HUGE, self.HUGE_DAYS
        small = np.ones(3)
        calls = [
            lambda: vardex_rs.hydro.gr4j.simulate(np.ones(4), h, h),
            lambda: vardex_rs.metrics.calculate_kge(h, h),
            lambda: vardex_rs.pet.oudin.simulate(small, d, 45.0),
            lambda: vardex_rs.snow.cemaneige.simulate(np.ones(3), small, small, d, small, 0.0),
            lambda: Sce("gr4j", None, "nse", "none", 2, 5, 0.1, 0.001, 10, 1).init(
                h, None, h, None, None, None, h, 0),
            lambda: Dds("gr4j", None, "nse", "none", 0.2, 10, 1).step(h, None, h, None, None, None, h, 0),
            lambda: Sce("gr4j", None, "nse", "none", 2**62, 5, 0.1, 0.001, 10, 1),
        ]
        for call in calls:
            with pytest.raises((MemoryError, ValueError)):
                call()
