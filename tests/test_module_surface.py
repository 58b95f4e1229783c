"""The Python surface: binding and conversion of arguments, module attributes,
import rules, and what the built library exports."""

import glob
import os
import subprocess
import sys
import textwrap

import pytest

import _qarn
from _qarn import csv_to_qarn
from qarn_decoder import decode

SMALL = b"a\n1\n"


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class BytesSubclass(bytes):
    pass


class IndexRaisesValueError:
    def __index__(self):
        raise ValueError("no index today")


class TypeErrorSubclass(TypeError):
    pass


class IndexRaisesTypeErrorSubclass:
    def __index__(self):
        raise TypeErrorSubclass("subclass, not TypeError itself")


@pytest.mark.parametrize(
    "args, kwargs, column_type",
    [
        ((SMALL,), {}, "int"),
        ((SMALL, 5, 1), {}, "int"),
        ((), {"csv_bytes": SMALL, "sample_rows": 0}, "string"),
        ((SMALL,), {"chunk_size": True}, "int"),
        ((SMALL,), {"chunk_size": Index(7), "sample_rows": Index(0)}, "string"),
        ((SMALL,), {"sample_rows": False}, "string"),
        ((BytesSubclass(SMALL),), {}, "int"),
        ((SMALL,), {"sample_rows": 2**64 - 1, "chunk_size": 2**64 - 1}, "int"),
    ],
)
def test_valid_calls_convert(args, kwargs, column_type):
    result = decode(csv_to_qarn(*args, **kwargs))
    assert result.column_types == [column_type]
    assert result.rows() == [[1 if column_type == "int" else "1"]]


@pytest.mark.parametrize(
    "args, kwargs, exc_type, message",
    [
        ((SMALL, 1, 1, 1), {}, TypeError, "csv_to_qarn() takes from 1 to 3 positional arguments but 4 were given"),
        ((SMALL, 1, 1, "x", "y"), {}, TypeError, "csv_to_qarn() takes from 1 to 3 positional arguments but 5 were given"),
        ((SMALL,), {"chunksize": 1}, TypeError, "csv_to_qarn() got an unexpected keyword argument 'chunksize'"),
        ((b"",), {"csv_bytes": b""}, TypeError, "csv_to_qarn() got multiple values for argument 'csv_bytes'"),
        ((SMALL, 1), {"chunk_size": 1}, TypeError, "csv_to_qarn() got multiple values for argument 'chunk_size'"),
        ((), {}, TypeError, "csv_to_qarn() missing 1 required positional argument: 'csv_bytes'"),
        ((), {"chunk_size": 1}, TypeError, "csv_to_qarn() missing 1 required positional argument: 'csv_bytes'"),
        (("a\n",), {}, TypeError, "argument 'csv_bytes': 'str' object cannot be converted to 'PyBytes'"),
        ((bytearray(SMALL),), {}, TypeError, "argument 'csv_bytes': 'bytearray' object cannot be converted to 'PyBytes'"),
        ((memoryview(SMALL),), {}, TypeError, "argument 'csv_bytes': 'memoryview' object cannot be converted to 'PyBytes'"),
        ((None,), {}, TypeError, "argument 'csv_bytes': 'NoneType' object cannot be converted to 'PyBytes'"),
        ((Index(1),), {}, TypeError, "argument 'csv_bytes': 'Index' object cannot be converted to 'PyBytes'"),
        # Only the first bad argument, in parameter order, is reported.
        (("x",), {"chunk_size": -1}, TypeError, "argument 'csv_bytes': 'str' object cannot be converted to 'PyBytes'"),
        ((SMALL, None), {}, TypeError, "argument 'chunk_size': 'NoneType' object cannot be interpreted as an integer"),
        ((SMALL, 1.5), {}, TypeError, "argument 'chunk_size': 'float' object cannot be interpreted as an integer"),
        ((SMALL, 1, "3"), {}, TypeError, "argument 'sample_rows': 'str' object cannot be interpreted as an integer"),
        ((SMALL, None, None), {}, TypeError, "argument 'chunk_size': 'NoneType' object cannot be interpreted as an integer"),
        ((SMALL, Index("7")), {}, TypeError, "argument 'chunk_size': __index__ returned non-int (type str)"),
        ((SMALL,), {"sample_rows": -1}, OverflowError, None),
        ((SMALL, 2**64), {}, OverflowError, None),
        ((SMALL, Index(-5)), {}, OverflowError, None),
        ((SMALL, IndexRaisesValueError()), {}, ValueError, "no index today"),
        ((SMALL, IndexRaisesTypeErrorSubclass()), {}, TypeErrorSubclass, "subclass, not TypeError itself"),
        ((SMALL, 0), {}, ValueError, "chunk_size must be at least 1"),
        ((b"a\n\xff\n", 0), {}, ValueError, "chunk_size must be at least 1"),
    ],
)
def test_argument_errors(args, kwargs, exc_type, message):
    with pytest.raises(BaseException) as info:
        csv_to_qarn(*args, **kwargs)
    assert type(info.value) is exc_type
    if message is not None:
        assert str(info.value) == message
        assert info.value.args == (message,)
    if exc_type is OverflowError:
        assert not str(info.value).startswith("argument")


def test_type_error_prefix_keeps_the_cause():
    class IndexWithCause:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as inner:
                raise TypeError("outer") from inner

    with pytest.raises(TypeError) as info:
        csv_to_qarn(SMALL, sample_rows=IndexWithCause())
    assert str(info.value) == "argument 'sample_rows': outer"
    assert isinstance(info.value.__cause__, KeyError)


def test_module_attributes():
    assert _qarn.__all__ == ["csv_to_qarn"]
    assert _qarn.__doc__ == ""
    assert csv_to_qarn.__module__ == "_qarn"
    assert csv_to_qarn.__name__ == "csv_to_qarn"
    assert csv_to_qarn.__text_signature__ == "(csv_bytes, chunk_size=10000, sample_rows=1000)"
    assert csv_to_qarn.__doc__ == (
        "Convert CSV bytes to QARN bytes.\n\nArgs:\n"
        "    csv_bytes: Raw UTF-8 encoded CSV data (with header row).\n"
        "    chunk_size: Number of rows per QARN table slice (default 10 000).\n"
        "    sample_rows: Number of rows to sample for column type inference (default 1 000).\n"
        "\nReturns:\n    QARN file contents as bytes.\n"
        "\nRaises:\n    ValueError: If the CSV cannot be parsed or the QARN cannot be written."
    )
    assert csv_to_qarn.__self__ is _qarn


def test_reimport_returns_the_same_module():
    first = sys.modules.pop("_qarn")
    try:
        import _qarn as again

        assert again is first
    finally:
        sys.modules["_qarn"] = first


def _run_python(code: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize("config", ["legacy", "isolated"])
def test_second_interpreter_cannot_import(config):
    result = _run_python(
        f"""
        import _interpreters
        import _qarn
        interp = _interpreters.create({config!r})
        try:
            err = _interpreters.run_string(interp, "import _qarn")
        finally:
            _interpreters.destroy(interp)
        assert err is not None, "import in a second interpreter succeeded"
        print(err.type.__name__)
        print(err.msg)
        """
    )
    assert result.returncode == 0, result.stderr
    kind, message = result.stdout.splitlines()[:2]
    assert kind == "ImportError"
    # An isolated interpreter is refused by the import machinery itself before
    # the module's own check runs; both say the same.
    assert "_qarn" in message and "not support" in message
    assert "subinterpreters" in message or "sub-interpreters" in message


def test_library_exports_only_its_init_function():
    library = _qarn.__file__
    symbols = subprocess.run(["nm", "-D", "--defined-only", library], capture_output=True, text=True, check=True)
    names = [line.split()[-1] for line in symbols.stdout.splitlines() if line.strip()]
    assert names == ["PyInit__qarn"]


def test_type_stub_is_installed_beside_the_module():
    stub = os.path.join(os.path.dirname(_qarn.__file__), "_qarn.pyi")
    if not os.path.exists(stub):
        pytest.skip("running against a build tree, not an installed module")
    text = open(stub, encoding="utf-8").read()
    assert "def csv_to_qarn(" in text
