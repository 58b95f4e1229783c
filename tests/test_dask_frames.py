"""QARN files as Dask DataFrames on a real cluster (a local scheduler and
two worker processes): read_qarn over converted CSV files, its column
projection, partitions of slices, and to_qarn."""

import os
import random
import time

import numpy as np
import pandas as pd
import pytest

import qarn

distributed = pytest.importorskip("distributed")
import qarn.dask  # noqa: E402


def sales_csv(rows: int, seed: int) -> bytes:
    rng = random.Random(seed)
    lines = ["shop,units,price,note"]
    for _ in range(rows):
        units = str(rng.randrange(-5, 50)) if rng.random() > 0.05 else ""  # missing: an invalid cell
        lines.append(f"{rng.choice('abcde')},{units},{rng.uniform(0, 99):.2f},{rng.choice(['', 'x', 'é'])}")
    return ("\n".join(lines) + "\n").encode()


def test_converted_csv_files_aggregate_on_the_cluster_as_pandas_does(tmp_path, client):
    (tmp_path / "csv").mkdir()
    paths = []
    for i in range(5):
        paths.append(tmp_path / "csv" / f"day{i}.csv")
        paths[-1].write_bytes(sales_csv(300 + 50 * i, seed=i))
    reports = qarn.dask.convert_many(paths, tmp_path / "qarn", client=client, chunk_size=64)
    assert all(report.error is None for report in reports)

    started = time.perf_counter()
    frame = qarn.dask.read_qarn(tmp_path / "qarn")  # a folder: its .qarn files in name order
    assert frame.npartitions == 5 and list(frame.columns) == ["shop", "units", "price", "note"]
    got = frame.groupby("shop").agg({"units": ["sum", "count", "mean"], "price": "max"}).compute(scheduler=client)
    print(f"read_qarn groupby on the cluster: {time.perf_counter() - started:.2f} s")

    original = pd.concat([pd.read_csv(path, keep_default_na=False, na_values={"units": [""]}) for path in paths])
    expected = original.groupby("shop").agg({"units": ["sum", "count", "mean"], "price": "max"})
    pd.testing.assert_frame_equal(got.sort_index().astype("float64"), expected.astype("float64"), check_index_type=False)
    whole = frame.compute(scheduler=client).reset_index(drop=True)
    assert whole["units"].isna().sum() == original["units"].isna().sum()
    assert whole["note"].fillna("").tolist() == original["note"].tolist()  # rows in file order, files in name order


def wide_file(path, rows=500):
    columns = {f"c{i}": np.arange(rows, dtype=np.int64) * i for i in range(30)}
    columns["text"] = np.array(["ZQZQZQZQ"] * rows, dtype=object)
    qarn.write(columns, path, chunk_size=50)
    data = path.read_bytes()
    path.write_bytes(data.replace(b"ZQZQZQZQ", b"\xff" * 8))  # no longer UTF-8: decoding it fails
    return columns


def test_a_projection_decodes_only_the_columns_it_uses(tmp_path, client):
    path = tmp_path / "wide.qarn"
    columns = wide_file(path)
    with pytest.raises(qarn.FormatError, match="invalid string"):
        qarn.read(path)
    frame = qarn.dask.read_qarn(path)
    assert frame["c7"].sum().compute(scheduler=client) == columns["c7"].sum()  # "text" is stepped over
    assert (frame.c3 + frame.c4).max().compute(scheduler=client) == 499 * 7
    only = qarn.dask.read_qarn(path, columns=["c2"])
    assert list(only.columns) == ["c2"] and only.compute(scheduler=client)["c2"].tolist() == columns["c2"].tolist()
    with pytest.raises(qarn.FormatError, match="invalid string"):
        frame.compute(scheduler=client)


def test_large_files_split_into_runs_of_slices_and_to_qarn_writes_them_back(tmp_path, client):
    path = tmp_path / "big.qarn"
    columns = {
        "n": np.arange(1000, dtype=np.int32),
        "s": np.array([f"v{i % 7}" for i in range(1000)]),
        "b": np.array([bytes([i % 256, 0xFF]) for i in range(1000)], dtype=object),  # not text: stays bytes
    }
    qarn.write(columns, path, chunk_size=40)  # 25 slices
    frame = qarn.dask.read_qarn([path], blocksize=path.stat().st_size // 4 + 1)
    assert frame.npartitions == 4  # 7, 7, 7 and 4 slices
    whole = frame.compute(scheduler=client).reset_index(drop=True)
    pd.testing.assert_frame_equal(whole, qarn.read(path).to_pandas())

    written = qarn.dask.to_qarn(frame, tmp_path / "out", chunk_size=100)
    assert written == [str(tmp_path / "out" / f"part.{i}.qarn") for i in range(4)]
    assert sorted(os.listdir(tmp_path / "out")) == sorted(os.path.basename(p) for p in written)  # nothing else
    back = qarn.dask.read_qarn(str(tmp_path / "out" / "part.*.qarn")).compute(scheduler=client)
    pd.testing.assert_frame_equal(back.reset_index(drop=True), whole)
    other = tmp_path / "other.qarn"
    qarn.write({"n": np.arange(3, dtype=np.int64)}, other)
    with pytest.raises(ValueError, match=r"other.qarn: its columns \[\('n', 'long'\)\] are not those of the first "):
        qarn.dask.read_qarn([path, other]).compute(scheduler=client)
    with pytest.raises(FileNotFoundError, match="^no QARN files match "):
        qarn.dask.read_qarn(str(tmp_path / "nothing-*.qarn"))
