"""Failures inside the split loop are reported, never raised: the traceback
goes to stderr, the same exception to sys.unraisablehook with the routine's
context string, and the call goes on with the next split.

These run through the split worker's creation of the per-split aggregate
buffer (np.full((D, H, 9), nan, dtype=np.float32), even for a split that
holds no entity).
"""

import builtins

import numpy as np
import pytest

from conftest import SENTINEL

CONTEXT = "quelmar.afe.domain.modelling.helper.data_frame_builder_helper.exec_for_split"


def two_empty_splits(make_arguments, rows=2):
    # index_map gives D = 2 dimension values, horizons H = 3 positions.
    return make_arguments(
        splits=np.full((rows, 3), -1, dtype=np.int32),
        index_map={1: 1, 2: 2, 3: 2},
        horizons=[30, 7, 30],
    )


class RecordingNumpy:
    """Stands in for the module's `np` and records the calls of `full`."""

    float32 = np.float32

    def __init__(self, result=None, error=None):
        self.calls = []
        self.result = result
        self.error = error

    def full(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.error is not None:
            raise self.error
        if self.result is not None:
            return self.result
        return np.full(*args, **kwargs)


@pytest.mark.parametrize("rows", [1, 2, 3])
@pytest.mark.parametrize("np_in", ["module", "builtins"])
def test_buffer_is_created_once_per_split_with_the_split_shape(dfbh, execute, make_arguments, monkeypatch, unraisable,
                                                               np_in, rows):
    # without a global `np` the module falls back to builtins.np
    fake = RecordingNumpy()
    if np_in == "module":
        monkeypatch.setattr(dfbh, "np", fake)
    else:
        monkeypatch.delattr(dfbh, "np")
        monkeypatch.setattr(builtins, "np", fake, raising=False)
    arguments = two_empty_splits(make_arguments, rows)
    assert execute(**arguments) is None
    assert unraisable == []
    assert len(fake.calls) == rows
    for args, kwargs in fake.calls:
        shape, fill = args
        assert shape == (2, 3, 9) and all(type(n) is int for n in shape)
        assert type(fill) is float and fill != fill
        assert kwargs == {"dtype": np.float32}
    assert (arguments["result_frame"] == SENTINEL).all()


@pytest.mark.parametrize(
    "fake, reported",
    [
        # None: no `np` in the module or in builtins
        (None, (NameError, "name 'np' is not defined", CONTEXT)),
        (RecordingNumpy(error=SystemExit("leave now")), (SystemExit, "leave now", CONTEXT)),
        (RecordingNumpy(error=MemoryError()), (MemoryError, "", CONTEXT)),
        (
            RecordingNumpy(result=np.zeros((2, 3, 9))),
            (ValueError, "Buffer dtype mismatch, expected 'float' but got 'double'", CONTEXT),
        ),
        (
            RecordingNumpy(result=np.zeros((2, 3), dtype=np.float32)),
            (ValueError, "Buffer has wrong number of dimensions (expected 3, got 2)", CONTEXT),
        ),
        (RecordingNumpy(result=(1, 2)), (TypeError, "a bytes-like object is required, not 'tuple'", CONTEXT)),
    ],
    ids=["np-missing", "system-exit", "memory-error", "float64", "two-axes", "no-buffer"],
)
def test_a_failing_buffer_creation_is_reported_for_every_split_and_the_call_goes_on(
    dfbh, execute, make_arguments, monkeypatch, unraisable, capfd, fake, reported
):
    if fake is None:
        monkeypatch.delattr(dfbh, "np")
        monkeypatch.delattr(builtins, "np", raising=False)
    else:
        monkeypatch.setattr(dfbh, "np", fake)
    arguments = two_empty_splits(make_arguments)
    assert execute(**arguments) is None  # a SystemExit does not end the process either
    assert unraisable == [reported] * 2
    # each split's traceback ends with the exception's type and message
    kind, message, _ = reported
    err = capfd.readouterr().err
    assert err.count(kind.__name__ + (": " + message if message else "")) >= 2
    assert (arguments["result_frame"] == SENTINEL).all()
