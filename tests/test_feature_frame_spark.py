"""The README's Spark example, run as written on a local Spark, gives the
single-machine feature frame."""

from __future__ import annotations

import os
import re
import shutil

import numpy as np
import pytest

from _feature_helpers import assert_bits_equal

pd = pytest.importorskip("pandas")
if os.environ.get("DFBH_REQUIRE_SPARK"):
    # the CI run installs Spark for this test: there a missing piece is a failure, not a skip
    import pyspark  # noqa: F401
    from pyspark.sql import SparkSession
    assert shutil.which("java"), "DFBH_REQUIRE_SPARK is set but java is not on PATH"
else:
    pytest.importorskip("pyspark")
    from pyspark.sql import SparkSession
    if not shutil.which("java"):
        pytest.skip("Spark needs java", allow_module_level=True)

if int(pd.__version__.split(".")[0]) >= 3:
    # pyspark's conversion of the result fails on pandas 3's string columns; the spark extra pins pandas 2
    pytest.skip("pyspark does not support pandas 3 yet", allow_module_level=True)

from quelmar.afe.domain.modelling.feature_frame import build_feature_frame  # noqa: E402

README = os.path.join(os.path.dirname(__file__), os.pardir, "README.md")
DAY = np.timedelta64(1, "D")


def readme_block(containing: str) -> str:
    with open(README, encoding="utf-8") as f:
        blocks = re.findall(r"```python\n(.*?)```", f.read(), flags=re.S)
    (block,) = [b for b in blocks if containing in b]
    return block


def tables(seed=5, n_entities=40, n_trx=800, n_targets=100):
    rng = np.random.default_rng(seed)
    ids = np.array([f"c{i}" for i in range(n_entities)], dtype=object)
    t0 = np.datetime64("2026-06-01T00:00:00", "ns")
    trx = pd.DataFrame({
        "entity": ids[rng.integers(0, n_entities - 5, n_trx)],  # the last five entities have no transactions
        "timestamp": t0 - rng.integers(0, 24 * 60, n_trx) * np.timedelta64(1, "h"),
        "quantity": rng.choice([0.0, 0.5, 1.25, 3.0, -2.0], n_trx),
        "dimension": rng.integers(0, 4, n_trx).astype(np.int64),
    })
    targets = pd.DataFrame({
        "entity": ids[rng.integers(0, n_entities, n_targets)],
        "target_date": t0 - rng.integers(0, 30, n_targets) * DAY,
    })
    return trx, targets


@pytest.mark.slow
# the example is what users run: with the pandas they have
@pytest.mark.filterwarnings("ignore:PySpark does not yet fully support pandas:FutureWarning")
# py4j leaves its sockets to the garbage collector
@pytest.mark.filterwarnings("ignore::ResourceWarning", "ignore::pytest.PytestUnraisableExceptionWarning")
def test_readme_spark_example_equals_single_machine():
    spark = (SparkSession.builder.master("local[2]").appName("feature-frame-test")
             .config("spark.sql.session.timeZone", "UTC")
             .config("spark.sql.shuffle.partitions", "4")
             .config("spark.ui.enabled", "false")
             .getOrCreate())
    try:
        trx_pdf, targets_pdf = tables()
        scope = {"trx": spark.createDataFrame(trx_pdf), "targets": spark.createDataFrame(targets_pdf)}
        exec(readme_block("applyInPandas"), scope)
        got = scope["features"].toPandas()
    finally:
        spark.stop()
    want = build_feature_frame(trx_pdf, targets_pdf, horizons=[7, 30], dimension_values=scope["dims"])
    assert list(got.columns) == list(want.columns) and len(got) == len(want)
    # rows come grouped by entity; equal (entity, date) pairs have equal rows
    got = got.sort_values(["entity", "target_date"], kind="stable").reset_index(drop=True)
    want = want.sort_values(["entity", "target_date"], kind="stable").reset_index(drop=True)
    assert got["entity"].tolist() == want["entity"].tolist()
    assert (got["target_date"].to_numpy("datetime64[ns]") == want["target_date"].to_numpy("datetime64[ns]")).all()
    assert_bits_equal(got.iloc[:, 2:].to_numpy(np.float32), want.iloc[:, 2:].to_numpy())
