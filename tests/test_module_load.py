"""Module load: the attributes it leaves, and every failure of a load step
propagating unchanged. Broken stand-ins are loaded in a subprocess from a
copy of the installed package placed first on sys.path."""

import importlib.util
import json
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from conftest import MODULE_NAME

MEMBERS = ["Density", "Min", "Max", "Sum", "Frequency", "CountDistinct", "Mode", "TimeSinceFirst", "TimeSinceLast", "Ratio"]

SANITIZER_VARIABLES = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")

AFE_OPERATOR_PATH = "quelmar/afe/domain/enums/afe_operator.py"
READER_PATH = "quelmar/afe/dataaccess/services/transaction_file_record_reader.py"

# Loads the module, then evaluates `expected` (Python's own behaviour for the
# same broken input) and prints both outcomes as JSON.
LOADER = textwrap.dedent(
    """
    import json, sys

    def outcome(action):
        try:
            result = action()
        except BaseException as error:
            return {"type": type(error).__name__, "message": str(error)}
        return {"type": None, "result": result}

    def load():
        import quelmar.afe.domain.modelling.helper.data_frame_builder_helper as module
        return {
            "file": module.__file__,
            "attributes": sorted(name for name in vars(module) if not name.startswith("__")),
            "np_is_numpy": module.np is sys.modules["numpy"],
            "classes_from_stand_ins": (
                module.AfeOperator is sys.modules["quelmar.afe.domain.enums.afe_operator"].AfeOperator
                and module.TransactionFileRecordReader is sys.modules[
                    "quelmar.afe.dataaccess.services.transaction_file_record_reader"
                ].TransactionFileRecordReader
            ),
            "execute_doc": module.execute.__doc__,
        }

    def expected():
        exec(sys.argv[1], {})

    print(json.dumps({"load": outcome(load), "expected": outcome(expected)}))
    """
)


def enum_source(values, extra=""):
    lines = ["import enum", "", "", "class AfeOperator(enum.Enum):"]
    lines += ["    {} = {}".format(name, value) for name, value in values.items()]
    return "\n".join(lines) + "\n" + extra


def default_values(**changes):
    values = {name: i + 1 for i, name in enumerate(MEMBERS)}
    for name, value in changes.items():
        if value is None:
            del values[name]
        else:
            values[name] = value
    return values


def reader_source(body="    UNKNOWN_DIMENSION_VALUE = -1"):
    return "class TransactionFileRecordReader:\n{}\n".format(body)


@pytest.fixture(scope="module")
def installed_package(dfbh):
    import quelmar

    return Path(quelmar.__file__).parent


@pytest.fixture
def load_with(tmp_path, installed_package):
    """Copies the installed package to a temporary directory, replaces or
    removes files in it, and loads the module there in a fresh interpreter."""

    def load(files=None, remove=(), expected="pass"):
        shutil.copytree(str(installed_package), str(tmp_path / "quelmar"), ignore=shutil.ignore_patterns("__pycache__"))
        for relative, text in (files or {}).items():
            (tmp_path / relative).write_text(text)
        for relative in remove:
            target = tmp_path / relative
            if target.is_dir():
                shutil.rmtree(str(target))
            else:
                target.unlink()
        completed = subprocess.run(
            [sys.executable, "-c", LOADER, expected],
            cwd=str(tmp_path),
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            universal_newlines=True,
            env=dict(
                {"PYTHONPATH": str(tmp_path), "PYTHONDONTWRITEBYTECODE": "1", "PATH": ""},
                # A sanitized build loads only with its runtime preloaded.
                **{name: os.environ[name] for name in SANITIZER_VARIABLES if name in os.environ}
            ),
            timeout=120,
        )
        assert completed.returncode == 0, completed.stderr
        report = json.loads(completed.stdout)
        if report["load"]["type"] is None:
            assert Path(report["load"]["result"]["file"]).parent.parts[: len(tmp_path.parts)] == tmp_path.parts
        return report

    return load


@pytest.mark.parametrize(
    "values",
    [
        None,  # the package as installed
        default_values(Sum=-1),
        default_values(Ratio=-(2**31)),
        default_values(Density=2**31 - 1),
        default_values(Min=1),  # an alias of Density: the dict keeps the later slot
        default_values(Mode=6, TimeSinceLast=6),
        default_values(Max=2.9),  # converted through __int__
        default_values(Ratio=1),  # Ratio may share a code: it has no slot
    ],
    ids=["as-installed", "minus-one", "int32-min", "int32-max", "duplicate-code", "duplicate-code-2", "float-value",
         "ratio-shares"],
)
def test_load_accepts_and_leaves_its_attributes(load_with, values):
    report = load_with(files=None if values is None else {AFE_OPERATOR_PATH: enum_source(values)})
    assert report["load"]["type"] is None, report["load"]
    result = report["load"]["result"]
    assert result["attributes"] == ["AfeOperator", "TransactionFileRecordReader", "execute", "np"]
    assert result["np_is_numpy"] and result["classes_from_stand_ins"]
    assert result["execute_doc"] is None


GETATTR_AFE = "from quelmar.afe.domain.enums.afe_operator import AfeOperator as A; "


@pytest.mark.parametrize(
    "files, remove, expected, exception",
    [
        # a member that is missing, even Ratio, which has no slot
        ({AFE_OPERATOR_PATH: enum_source(default_values(Ratio=None))}, (), GETATTR_AFE + "A.Ratio", "AttributeError"),
        ({AFE_OPERATOR_PATH: enum_source(default_values(Density=None))}, (), GETATTR_AFE + "A.Density", "AttributeError"),
        ({AFE_OPERATOR_PATH: enum_source(default_values(Mode=None))}, (), GETATTR_AFE + "A.Mode", "AttributeError"),
        # members without `value`
        (
            {AFE_OPERATOR_PATH: "class AfeOperator:\n" + "".join("    {} = {}\n".format(m, i) for i, m in enumerate(MEMBERS))},
            (),
            GETATTR_AFE + "A.Density.value",
            "AttributeError",
        ),
        # the class or the package is missing
        ({AFE_OPERATOR_PATH: "x = 1\n"}, (), "from quelmar.afe.domain.enums.afe_operator import AfeOperator", "ImportError"),
        (
            {READER_PATH: "x = 1\n"},
            (),
            "from quelmar.afe.dataaccess.services.transaction_file_record_reader import TransactionFileRecordReader",
            "ImportError",
        ),
        ({}, ("quelmar/afe/dataaccess",), "import quelmar.afe.dataaccess", "ModuleNotFoundError"),
        ({}, (AFE_OPERATOR_PATH,), "import quelmar.afe.domain.enums.afe_operator", "ModuleNotFoundError"),
        # UNKNOWN_DIMENSION_VALUE
        (
            {READER_PATH: reader_source("    pass")},
            (),
            "from quelmar.afe.dataaccess.services.transaction_file_record_reader import TransactionFileRecordReader as R;"
            " R.UNKNOWN_DIMENSION_VALUE",
            "AttributeError",
        ),
        # a failing product import propagates as it is
        ({READER_PATH: "raise KeyError('broken reader module')\n"}, (), "raise KeyError('broken reader module')", "KeyError"),
        # numpy itself
        ({"numpy.py": "raise ImportError('no numpy here')\n"}, (), "raise ImportError('no numpy here')", "ImportError"),
        ({"numpy.py": "x = 1\n"}, (), "import numpy; numpy.nan", "AttributeError"),
        ({"numpy.py": "nan = 'nan'\n"}, (), "import math; math.isnan('nan')", "TypeError"),
        # steps run in order: Ratio (step 8) fails before UNKNOWN_DIMENSION_VALUE (step 11)
        (
            {AFE_OPERATOR_PATH: enum_source(default_values(Ratio=None)), READER_PATH: reader_source("    pass")},
            (),
            GETATTR_AFE + "A.Ratio",
            "AttributeError",
        ),
        # the imports (steps 1-3) come before any value is read
        ({AFE_OPERATOR_PATH: enum_source(default_values(Ratio=None))}, ("quelmar/afe/dataaccess",), "import quelmar.afe.dataaccess", "ModuleNotFoundError"),
    ],
    ids=[
        "missing-ratio",
        "missing-density",
        "missing-mode",
        "missing-value",
        "missing-afe-operator",
        "missing-reader-class",
        "missing-package",
        "missing-enum-module",
        "missing-unknown-dimension-value",
        "reader-module-raises",
        "numpy-import-fails",
        "numpy-without-nan",
        "nan-not-a-float",
        "order-ratio-before-reader",
        "order-imports-first",
    ],
)
def test_load_failure_propagates_unchanged(load_with, files, remove, expected, exception):
    report = load_with(files=files, remove=remove, expected=expected)
    assert report["expected"]["type"] == exception
    assert report["load"] == report["expected"]


@pytest.mark.parametrize(
    "files, exception, message",
    [
        ({AFE_OPERATOR_PATH: enum_source(default_values(Sum=2**31))}, "OverflowError", "value too large to convert to int"),
        ({AFE_OPERATOR_PATH: enum_source(default_values(Density=-(2**31) - 1))}, "OverflowError", "value too large to convert to int"),
        ({AFE_OPERATOR_PATH: enum_source(default_values(Ratio=2**31))}, "OverflowError", "value too large to convert to int"),
        ({AFE_OPERATOR_PATH: enum_source(default_values(CountDistinct=2**64))}, "OverflowError", "value too large to convert to int"),
        ({AFE_OPERATOR_PATH: enum_source(default_values(Min="'x'"))}, "TypeError", "an integer is required"),
        ({AFE_OPERATOR_PATH: enum_source(default_values(Ratio="None"))}, "TypeError", "an integer is required"),
        ({READER_PATH: reader_source("    UNKNOWN_DIMENSION_VALUE = 2 ** 31")}, "OverflowError", "value too large to convert to int"),
        ({READER_PATH: reader_source("    UNKNOWN_DIMENSION_VALUE = None")}, "TypeError", "an integer is required"),
        (
            {AFE_OPERATOR_PATH: enum_source(default_values(Max="Weird()"), extra="")
             .replace("import enum\n", "import enum\n\n\nclass Weird:\n    def __hash__(self):\n        return 1\n\n    def __int__(self):\n        return 'three'\n")},
            "TypeError",
            "__int__ returned non-int (type str)",
        ),
        (
            {AFE_OPERATOR_PATH: "class Member:\n    @property\n    def value(self):\n        raise ValueError('no value today')\n\n\n"
             "class AfeOperator:\n" + "".join("    {} = Member()\n".format(m) for m in MEMBERS)},
            "ValueError",
            "no value today",
        ),
        ({AFE_OPERATOR_PATH: enum_source(default_values(Sum="[4]"))}, "TypeError", "unhashable type: 'list'"),
    ],
    ids=[
        "value-2**31",
        "value-below-int32",
        "ratio-2**31",
        "count-distinct-2**64",
        "value-str",
        "ratio-none",
        "unknown-dimension-2**31",
        "unknown-dimension-none",
        "int-returns-str",
        "value-raises",
        "value-unhashable",
    ],
)
def test_load_failure_of_a_value(load_with, files, exception, message):
    report = load_with(files=files)
    assert report["load"] == {"type": exception, "message": message}


def test_a_second_module_object_leaves_the_loaded_one_alone(dfbh, make_arguments, monkeypatch):
    import types

    spec = importlib.util.find_spec(MODULE_NAME)
    fresh = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(fresh)
    assert fresh is not dfbh
    assert fresh.execute(**make_arguments()) is None
    calls = [make_arguments(), make_arguments()]

    broken = types.ModuleType("quelmar.afe.domain.enums.afe_operator")
    broken.AfeOperator = type("AfeOperator", (), {})
    monkeypatch.setitem(sys.modules, "quelmar.afe.domain.enums.afe_operator", broken)
    failing = importlib.util.module_from_spec(spec)
    with pytest.raises(AttributeError):
        spec.loader.exec_module(failing)
    assert not hasattr(failing, "execute")
    assert dfbh.execute(**calls[0]) is None
    assert fresh.execute(**calls[1]) is None
