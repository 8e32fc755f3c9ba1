"""The README's Spark example, run as written on a local Spark, gives the
single-machine feature frame; so do buckets of ids of two Spark types."""

from __future__ import annotations

import os
import re
import shutil
import sys

import numpy as np
import pytest

from _feature_helpers import assert_bits_equal

pd = pytest.importorskip("pandas")
if os.environ.get("DFBH_REQUIRE_SPARK"):
    # the CI run installs Spark for this test: there a missing piece is a failure, not a skip
    import pyspark  # noqa: F401
    from pyspark.sql import SparkSession
    from pyspark.sql import functions as F
    assert shutil.which("java"), "DFBH_REQUIRE_SPARK is set but java is not on PATH"
else:
    pytest.importorskip("pyspark")
    from pyspark.sql import SparkSession
    from pyspark.sql import functions as F
    if not shutil.which("java"):
        pytest.skip("Spark needs java", allow_module_level=True)

if int(pd.__version__.split(".")[0]) >= 3:
    # pyspark's conversion of the result fails on pandas 3's string columns; the spark extra pins pandas 2
    pytest.skip("pyspark does not support pandas 3 yet", allow_module_level=True)

from quelmar.afe.domain.modelling.feature_frame import (  # noqa: E402
    build_feature_frame,
    build_feature_frame_spark,
)

README = os.path.join(os.path.dirname(__file__), os.pardir, "README.md")
DAY = np.timedelta64(1, "D")

pytestmark = [
    pytest.mark.slow,
    # the example is what users run: with the pandas they have
    pytest.mark.filterwarnings("ignore:PySpark does not yet fully support pandas:FutureWarning"),
    # py4j leaves its sockets to the garbage collector
    pytest.mark.filterwarnings("ignore::ResourceWarning", "ignore::pytest.PytestUnraisableExceptionWarning"),
]


def readme_block(containing: str) -> str:
    with open(README, encoding="utf-8") as f:
        blocks = re.findall(r"```python\n(.*?)```", f.read(), flags=re.S)
    (block,) = [b for b in blocks if containing in b]
    return block


def tables(seed=5, n_entities=40, n_trx=800, n_targets=100, ids=None):
    rng = np.random.default_rng(seed)
    if ids is None:
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


@pytest.fixture(scope="module")
def spark():
    # the workers run this interpreter, whatever python is first on PATH
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("PYSPARK_PYTHON", sys.executable)
        session = (SparkSession.builder.master("local[2]").appName("feature-frame-test")
                   .config("spark.sql.session.timeZone", "UTC")
                   .config("spark.sql.shuffle.partitions", "4")
                   .config("spark.ui.enabled", "false")
                   .getOrCreate())
    yield session
    session.stop()


def assert_equals_single_machine(got, want):
    assert list(got.columns) == list(want.columns) and len(got) == len(want)
    # rows come grouped by bucket; equal (entity, date) pairs have equal rows
    got = got.sort_values(["entity", "target_date"], kind="stable").reset_index(drop=True)
    want = want.sort_values(["entity", "target_date"], kind="stable").reset_index(drop=True)
    assert got["entity"].tolist() == want["entity"].tolist()
    assert (got["target_date"].to_numpy("datetime64[ns]") == want["target_date"].to_numpy("datetime64[ns]")).all()
    assert_bits_equal(got.iloc[:, 2:].to_numpy(np.float32), want.iloc[:, 2:].to_numpy())


def test_readme_spark_example_equals_single_machine(spark):
    trx_pdf, targets_pdf = tables()
    scope = {"trx": spark.createDataFrame(trx_pdf), "targets": spark.createDataFrame(targets_pdf)}
    exec(readme_block("build_feature_frame_spark("), scope)
    assert_equals_single_machine(scope["features"].toPandas(),
                                 build_feature_frame(trx_pdf, targets_pdf, horizons=[7, 30]))


NUMPY_TYPE = {"int": np.int32, "bigint": np.int64, "float": np.float32, "double": np.float64}


# Equal ids of two Spark types must meet in one bucket, -0.0 with 0 too.
# Without a dimension column, the buckets without transactions must still
# give code 0's columns.
@pytest.mark.parametrize("trx_type, targets_type, options", [
    ("int", "bigint", {}),
    ("bigint", "double", {"dimension_col": None}),
    ("float", "double", {"operators": ["sum", "max"]}),
])
def test_ids_of_two_types_meet_in_one_bucket(spark, trx_type, targets_type, options):
    scale = 0.5 if trx_type == "float" else 1  # halves: not every id whole
    trx_pdf, targets_pdf = tables(seed=11, ids=np.arange(-20, 20) * 3 * scale)  # 0 among them, negative ids too
    targets_pdf.loc[:4, "entity"] = 0
    for frame, type_name in ((trx_pdf, trx_type), (targets_pdf, targets_type)):
        frame["entity"] = frame["entity"].astype(NUMPY_TYPE[type_name])
    if targets_type == "double":
        targets_pdf.loc[:2, "entity"] = -0.0
    trx = spark.createDataFrame(trx_pdf).withColumn("entity", F.col("entity").cast(trx_type))
    targets = spark.createDataFrame(targets_pdf).withColumn("entity", F.col("entity").cast(targets_type))
    # more buckets than entities: many buckets hold targets without any transaction
    got = build_feature_frame_spark(trx, targets, horizons=[7, 30], buckets=64, **options).toPandas()
    assert got["entity"].dtype == targets_pdf["entity"].dtype
    assert_equals_single_machine(got, build_feature_frame(trx_pdf, targets_pdf, horizons=[7, 30], **options))


def test_ids_that_never_compare_are_refused_before_any_job(spark):
    trx_pdf, targets_pdf = tables()
    targets_pdf["entity"] = np.arange(len(targets_pdf))
    with pytest.raises(TypeError, match="targets: column 'entity' holds bigint entity ids but the transactions "
                                        "column 'entity' holds string"):
        build_feature_frame_spark(spark.createDataFrame(trx_pdf), spark.createDataFrame(targets_pdf), horizons=[7])
