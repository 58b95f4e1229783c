"""`qarn convert` of Parquet and Arrow files: the same bytes as qarn.write
of their table, and one line for what cannot be converted."""

import datetime as dt
import os

import pyarrow as pa
import pyarrow.feather as feather
import pyarrow.parquet as parquet

import qarn
from cli_support import not_when_sanitized, run_qarn

pytestmark = not_when_sanitized

TABLE = pa.table({
    "id": pa.array(range(2500), pa.int64()),
    "name": pa.array([None if i % 7 == 0 else f"n{i}" for i in range(2500)]),
    "day": pa.array([dt.date(2024, 1, 1) + dt.timedelta(days=i % 400) for i in range(2500)]),
    "small": pa.array([i % 100 for i in range(2500)], pa.int8()),
})  # fmt: skip


def test_parquet_and_arrow_files_convert_as_their_tables_write(tmp_path):
    parquet.write_table(TABLE, tmp_path / "t.parquet", row_group_size=700)
    feather.write_feather(TABLE, tmp_path / "f.feather", chunksize=900)
    with pa.ipc.new_stream(tmp_path / "s.arrow", TABLE.schema) as stream:
        stream.write_table(TABLE, max_chunksize=333)
    run_qarn("convert", "t.parquet", "f.feather", "s.arrow", "--out-dir", "out", "--chunk-size", "1000",
             cwd=tmp_path, check_status=0)  # fmt: skip
    expected = qarn.write(TABLE, chunk_size=1000)
    for name in ("t", "f", "s"):
        assert (tmp_path / "out" / f"{name}.qarn").read_bytes() == expected


def test_what_cannot_be_converted_is_one_line(tmp_path):
    parquet.write_table(pa.table({"tags": pa.array([["a"]])}), tmp_path / "lists.parquet")
    (tmp_path / "broken.parquet").write_bytes(b"PAR1 not really")
    result = run_qarn("convert", "lists.parquet", cwd=tmp_path, check_status=1)
    assert result.stderr.splitlines()[0] == (
        "qarn: lists.parquet: column 'tags' has type list<element: string>, which QARN files cannot hold "
        "(bool, integers, floats, strings, binary, dates and timestamps)"
    )
    result = run_qarn("convert", "broken.parquet", cwd=tmp_path, check_status=1)
    assert result.stderr.startswith("qarn: broken.parquet: ") and "internal error" not in result.stderr
    blocker = tmp_path / "no-pyarrow" / "pyarrow"
    blocker.mkdir(parents=True)
    (blocker / "__init__.py").write_text("raise ImportError('no pyarrow here')\n")
    environment = {**os.environ, "PYTHONPATH": str(blocker.parent)}
    result = run_qarn("convert", "lists.parquet", cwd=tmp_path, check_status=1, env=environment)
    assert result.stderr.splitlines()[0] == (
        "qarn: lists.parquet: reading a Parquet file needs pyarrow, which is not installed: pip install 'qarn[arrow]'"
    )
    assert sorted(os.listdir(tmp_path)) == ["broken.parquet", "lists.parquet", "no-pyarrow"]
