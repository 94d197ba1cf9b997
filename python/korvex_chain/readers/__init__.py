"""Option chains as they arrive: exchange responses, vendor files, own tables.

Each layout has its module (`tidy`, `deribit`, `tardis`, `bybit`); `detect`
recognises them and hands pricing one `Table` under the tidy column names.
"""

from .detect import FORMATS, read_table
from .names import parse_names
from .table import Table

__all__ = ["FORMATS", "Table", "parse_names", "read_table"]
