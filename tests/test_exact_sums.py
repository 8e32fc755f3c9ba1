"""Sums of the front end are exact: Sum is the float32 nearest (ties to even)
the rational sum of the accepted quantities, whatever their order and however
the windows slid there; Density and Ratio follow from these Sums in float32."""

from __future__ import annotations

from fractions import Fraction

import numpy as np
import pytest

pd = pytest.importorskip("pandas")

from _feature_helpers import DAY, assert_bits_equal  # noqa: E402
from quelmar.afe.domain.modelling.feature_frame import build_feature_frame  # noqa: E402

f32 = np.float32
T = 4_000 * DAY
SMALLEST = float(np.finfo(np.float32).smallest_subnormal)


def nearest_f32(x: Fraction) -> np.float32:
    """The float32 nearest to x >= 0, ties to the even mantissa, overflow to inf."""
    if x == 0:
        return f32(0.0)
    e = max(x.numerator.bit_length() - x.denominator.bit_length() - 24, -149)
    while x / Fraction(2) ** e >= 2**24:
        e += 1
    while e > -149 and x / Fraction(2) ** e < 2**23:
        e -= 1
    scaled = x / Fraction(2) ** e
    m, rest = divmod(scaled.numerator, scaled.denominator)
    if 2 * rest > scaled.denominator or (2 * rest == scaled.denominator and m % 2):
        m += 1
    value = Fraction(m) * Fraction(2) ** e
    return f32(np.inf) if value >= Fraction(2) ** 128 else f32(float(value))


def exact(values) -> Fraction:
    return sum((Fraction(float(v)) for v in np.asarray(values, dtype=np.float32)), Fraction(0))


def frame(quantities, days_before, codes=None, targets=(T,), horizons=(7, 30), order=None, n_jobs=1,
          operators=("sum", "frequency", "density", "ratio")):
    n = len(quantities)
    trx = pd.DataFrame({"entity": ["e"] * n, "timestamp": T - np.asarray(days_before, dtype=np.int64) * DAY,
                        "quantity": np.asarray(quantities, dtype=np.float32),
                        "dimension": np.zeros(n, np.int8) if codes is None else np.asarray(codes, np.int8)})
    if order is not None:
        trx = trx.iloc[order].reset_index(drop=True)
    tgt = pd.DataFrame({"entity": ["e"] * len(targets), "target_date": list(targets)})
    return build_feature_frame(trx, tgt, horizons=list(horizons), operators=list(operators), n_jobs=n_jobs)


HOSTILE = [
    pytest.param([1e38, 1e-38, 1e38, 3e-38], id="huge-and-tiny"),
    pytest.param([1e38] * 4, id="overflow-to-inf"),
    pytest.param([SMALLEST, SMALLEST * 3, 1e-40, 2e-39], id="subnormals"),
    pytest.param([2.0**24, 1.0], id="halfway-down-to-even"),
    pytest.param([2.0**24 + 2, 1.0], id="halfway-up-to-even"),
    pytest.param([2.0**24, 1.0, 2.0**-30], id="just-above-halfway"),
    pytest.param([1e8] + [1.0] * 100 + [3e-3] * 7, id="many-below-one-ulp"),
    pytest.param([16777215.0, 0.5, 0.25, 2.0**-40], id="carry-into-the-exponent"),
]


@pytest.mark.parametrize("values", HOSTILE)
def test_sum_is_the_nearest_float32_to_the_exact_sum_in_any_row_order(values):
    days = np.arange(len(values)) % 5 + 1
    expected = nearest_f32(exact(values))
    rng = np.random.default_rng(len(values))
    results = [frame(values, days, order=rng.permutation(len(values)), operators=("sum", "frequency", "density"))
               for _ in range(3)]
    for out in results:
        assert_bits_equal(out["0__sum__7"].to_numpy(), np.array([expected]))
        # Density from the float32 Sum and the float32 count, as execute divides
        assert_bits_equal(out["0__density__7"].to_numpy(), np.array([expected / f32(len(values))]))


def test_ratio_divides_exact_sums_by_their_float32_total():
    values = [1e8, 1.0, 1.0, 1.0, 3.0, 5e-3, 7e7]
    codes = [1, 1, 1, 1, 2, 2, 3]
    out = frame(values, [1] * len(values), codes=codes)
    sums = [nearest_f32(exact([v for v, c in zip(values, codes) if c == k])) for k in (1, 2, 3)]
    total = f32(0.0)
    for s in sums:  # in ascending dimension value order
        total = f32(total + s)
    for k, s in zip((1, 2, 3), sums):
        assert_bits_equal(out[f"{k}__sum__7"].to_numpy(), np.array([s]))
        assert_bits_equal(out[f"{k}__ratio__7"].to_numpy(), np.array([f32(s / total)]))


@pytest.mark.parametrize("n_jobs, n_values", [(1, 1), (2, 1), (2, 5)])
@pytest.mark.parametrize("span", ["wide", "narrow"])
def test_sliding_windows_do_not_drift(n_jobs, n_values, span):
    # Large values enter and leave the windows day after day, among small
    # ones; every target's sums are those of its own window, exactly, and a
    # window that has emptied is NaN again. Magnitudes too far apart for one
    # 64-bit integer ("wide") take the wide accumulator, others an integer
    # (running totals of every dimension value at once).
    rng = np.random.default_rng(3)
    n_days = 200
    days = np.arange(n_days) + 1
    small = rng.random(n_days).astype(np.float32) * f32(1e-3)
    values = np.where(rng.random(n_days) < 0.3, f32(3e37 if span == "wide" else 300.0), small)
    if span == "wide":
        values[:40] = np.where(rng.random(40) < 0.5, f32(1e30), f32(SMALLEST))
    codes = rng.integers(0, n_values, n_days)
    targets = [T - k * DAY for k in range(-40, n_days, 1)]  # oldest last: the engine sorts them
    out = frame(values, days, codes, targets=targets, n_jobs=n_jobs, operators=("sum", "frequency"))
    for h, code in zip((7, 30) * n_values, np.repeat(np.arange(n_values), 2)):
        got = out[f"{code}__sum__{h}"].to_numpy()
        for i, target in enumerate(targets):
            before = (T - target) // DAY  # target = T - before days; rows at T - d days
            inside = [v for v, d, c in zip(values, days, codes) if before + 1 <= d <= before + h and c == code]
            want = np.array([nearest_f32(exact(inside)) if inside else f32(np.nan)])
            assert_bits_equal(got[i:i + 1], want)
    assert np.isnan(out["0__sum__30"].iloc[0])  # 40 days after the last row: empty, NaN


@pytest.mark.slow
def test_a_window_of_a_million_rows_is_exact():
    rng = np.random.default_rng(7)
    n = 1_000_000
    values = (rng.random(n) * 10.0 ** rng.integers(-30, 30, n)).astype(np.float32)
    days = rng.integers(1, 8, n)
    out = frame(values, days, horizons=(7,), operators=("sum",))
    # the exact sum as an integer count of 2**-149, the smallest subnormal
    mantissa, exponent = np.frexp(values.astype(np.float64))
    units = sum(int(m * 2**24) << int(e - 24 + 149) for m, e in zip(mantissa, exponent))
    assert_bits_equal(out["0__sum__7"].to_numpy(), np.array([nearest_f32(Fraction(units, 2**149))]))
