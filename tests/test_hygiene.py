"""What `execute` leaves behind: no references, no memory, no change to its
inputs, whether the call succeeds or fails. That no buffer stays exported is
checked in test_safety.py, for every kind of failure."""

import copy
import os
import sys

import numpy as np
import pytest

from _feature_helpers import same_value
from conftest import ARGUMENT_NAMES


class IntLike:
    def __init__(self, result):
        self.result = result

    def __int__(self):
        return self.result


def big(value):
    """A fresh int object, not one of the interpreter's cached small ints."""
    return int(str(10**6 + value))


def counted_arguments(make_arguments):
    """Valid arguments whose every object, nested ones included, is its own
    reference-counted object."""
    return make_arguments(
        c_num_threads=IntLike(2),
        date_col_index=big(0) - 10**6,
        horizons=[big(7) - 10**6, IntLike(30)],
        index_map={big(1) - 10**6: IntLike(1), IntLike(2): 2.0},
        entity_index_map={big(0) - 10**6: np.zeros(2, dtype=np.int32), big(5): None, IntLike(3): np.zeros(1, dtype=np.int32)},
        column_name_map={big(10): IntLike(0), big(11): big(1) - 10**6},
        nearest_exponent=big(100) - 10**6,
        dim_group_id=IntLike(-1),
        for_afe_columns=[],
        is_no_dim_col=object(),
    )


def objects_of(arguments):
    """Every object reachable from the arguments that a call may touch."""
    found = []
    for value in arguments.values():
        found.append(value)
        if isinstance(value, dict):
            for key, item in value.items():
                found.extend([key, item])
        elif isinstance(value, list):
            found.extend(value)
    return found


FAILURES = [
    ("result_frame", np.zeros((2, 3))),
    ("splits", np.zeros(3, dtype=np.int32)),
    ("horizons", [1, 2, "x"]),
    ("index_map", {1: 1, 2: 2**15}),
    ("trx_d_arrays", np.zeros((1, 1), dtype=np.uint8)),
    ("entity_index_map", {0: np.zeros(2, dtype=np.int32), 1: np.zeros(2, dtype=np.int64)}),
    ("target_dates", np.zeros(1, dtype=">i8")),
    ("column_name_map", {1: 0, 2: "x"}),
    ("is_no_dim_col", np.array([1, 2])),
]


def test_reference_counts_unchanged(execute, make_arguments):
    arguments = counted_arguments(make_arguments)
    bad_values = [bad for _, bad in FAILURES]
    watched = objects_of(arguments) + bad_values + objects_of(dict(FAILURES))
    # Shared singletons and cached small ints are counted by the whole process.
    watched = [obj for obj in watched if obj is not None and not isinstance(obj, (bool, float)) and not (isinstance(obj, int) and -5 <= obj <= 256)]

    def calls():  # a function of its own, so no loop variable outlives it
        for _ in range(200):
            execute(**arguments)
            execute(*arguments.values())
            for name, bad in FAILURES:
                with pytest.raises(Exception):
                    execute(**dict(arguments, **{name: bad}))
            # binding failures, with every argument given
            with pytest.raises(TypeError):
                execute(*arguments.values(), bogus=1)
            with pytest.raises(TypeError):
                execute(*arguments.values(), result_frame=arguments["result_frame"])
            with pytest.raises(TypeError):
                execute(*list(arguments.values())[:19], **{"nearest_exponent": 1, 2: 3})

    before = [sys.getrefcount(obj) for obj in watched]
    calls()
    after = [sys.getrefcount(obj) for obj in watched]
    changed = [(repr(obj)[:40], b, a) for obj, b, a in zip(watched, before, after) if a != b]
    assert changed == []


@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="AddressSanitizer keeps freed memory in quarantine, so the resident size grows without a leak",
)
def test_memory_stays_flat_over_many_calls(execute, make_arguments):
    page = os.sysconf("SC_PAGE_SIZE")

    def resident_bytes():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * page

    # Inputs large enough that any per-call leak of a converted copy shows.
    arguments = make_arguments(
        horizons=list(range(1, 301)),
        index_map={i: i % 50 for i in range(-300, 300)},
        entity_index_map={i: np.zeros(4, dtype=np.int32) for i in range(200)},
        column_name_map={i * 7: i % 3 for i in range(1000)},
        included_operators=list(range(100)),
    )
    failing = dict(arguments, nearest_exponent="x")

    def run(calls):
        for i in range(calls):
            if i % 2:
                try:
                    execute(**failing)
                except TypeError:
                    pass
            else:
                execute(**arguments)

    run(1000)
    start = resident_bytes()
    run(10000)
    growth = resident_bytes() - start
    assert growth < 2 * 1024 * 1024, growth


@pytest.mark.parametrize("fails", [False, True])
def test_inputs_other_than_result_frame_are_left_unmodified(execute, make_arguments, fails):
    arguments = make_arguments(
        horizons=[30, 7, 7],
        index_map={3: 1, 1: 2, -5: 2},
        entity_index_map={2: np.arange(3, dtype=np.int32), 0: None},
        column_name_map={10**12: 1, -3: 0},
        nearest_exponent="x" if fails else 100,
    )
    snapshot = copy.deepcopy(arguments)
    if fails:
        with pytest.raises(TypeError):
            execute(**arguments)
    else:
        execute(**arguments)
    for name in ARGUMENT_NAMES[1:]:
        assert same_value(arguments[name], snapshot[name]), name


MEMORY_SCRIPT = """
import resource, sys
sys.path.insert(0, sys.argv[1])
from conftest import valid_arguments
from quelmar.afe.domain.modelling.helper.data_frame_builder_helper import execute

with open("/proc/self/statm") as statm:
    size = int(statm.read().split()[0]) * resource.getpagesize()
limit = size + 256 * 1024 * 1024
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
try:
    execute(**valid_arguments(horizons=range(10**9)))  # a native list far past the limit
except MemoryError as error:
    print("MemoryError", repr(str(error)))
print(execute(**valid_arguments()))
"""


@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="under AddressSanitizer a failing operator new aborts instead of throwing std::bad_alloc",
)
def test_running_out_of_memory_in_conversion_raises_memory_error():
    import subprocess

    completed = subprocess.run(
        [sys.executable, "-c", MEMORY_SCRIPT, os.path.dirname(__file__)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        universal_newlines=True,
        timeout=300,
    )
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout.splitlines() == ["MemoryError ''", "None"]


def test_the_front_end_imports_its_layers_one_way():
    # the layers contract of pyproject.toml, checked by import-linter (Python
    # 3.9 and newer), and no import of the package's own modules inside a
    # function, where a cycle would hide from the linter
    import ast
    import shutil
    import subprocess
    from pathlib import Path

    from quelmar.afe.domain.modelling import feature_frame

    package = Path(feature_frame.__file__).parent
    hidden = []
    for path in package.rglob("*.py"):
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
                for inner in ast.walk(node):
                    own = isinstance(inner, ast.ImportFrom) and (inner.level or "quelmar" in (inner.module or ""))
                    if own:
                        hidden.append(f"{path.relative_to(package)}:{inner.lineno}")
    assert hidden == []
    linter = shutil.which("lint-imports", path=os.path.dirname(sys.executable)) or shutil.which("lint-imports")
    if linter is None:
        pytest.skip("import-linter is not installed (it needs Python 3.9 or newer)")
    root = Path(__file__).resolve().parents[1]
    result = subprocess.run([linter], cwd=root, capture_output=True, text=True)
    assert result.returncode == 0, result.stdout[-3000:]
