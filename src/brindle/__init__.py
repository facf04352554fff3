"""brindle: read and write xlsx workbooks, with a native engine for the hot paths.

Reading: ``brindle.load_workbook(path)`` opens a workbook read-only;
``wb[name].iter_rows(values_only=True)`` gives its rows.
"""

__version__ = "0.1.0"

from brindle.reader.workbook import load_workbook  # noqa: E402

__all__ = ["load_workbook"]
