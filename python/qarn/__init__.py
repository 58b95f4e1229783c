"""Read and write QARN files: a typed, column-oriented binary format made
from CSV by `_qarn.csv_to_qarn`.

    import qarn
    qarn.convert("trips.csv.gz", "trips.qarn", delimiter=";", encoding="cp1252")
    table = qarn.read("trips.qarn")          # or bytes, a memoryview, a file object
    table["fare"].values                     # numpy array
    frame = table.to_pandas()                # nullable dtypes; invalid cells are missing
    qarn.write(frame, "trips-again.qarn")    # pandas, polars, pyarrow or numpy columns
"""

from importlib.metadata import PackageNotFoundError, version

from ._native import FormatError, PanicException
from ._csv_error import CsvError
from ._lost import LostCellsWarning
from .convert import convert
from .dialect import Dialect
from .sniff import Sniffed, sniff, sniff_details
from .reading import iter_slices, read, read_polars, validate
from .summary import ColumnSummary, FileSummary, summarize
from .table import Column, PropertyDefinition, Table
from .writing import write

try:
    __version__ = version("qarn")
except PackageNotFoundError:  # pragma: no cover - running from a source tree
    __version__ = "0+unknown"

__all__ = [
    "Column",
    "ColumnSummary",
    "CsvError",
    "Dialect",
    "FileSummary",
    "FormatError",
    "LostCellsWarning",
    "PanicException",
    "PropertyDefinition",
    "Sniffed",
    "Table",
    "__version__",
    "convert",
    "iter_slices",
    "read",
    "read_polars",
    "sniff",
    "sniff_details",
    "summarize",
    "validate",
    "write",
]
