"""The whitespace table the C++ trimming tests use is the interpreter's own str.isspace set."""

import pathlib

TABLE = pathlib.Path(__file__).parents[1] / "data" / "py_whitespace.txt"


def test_table_is_the_isspace_set():
    listed = [int(line, 16) for line in TABLE.read_text().splitlines()
              if line and not line.startswith("#")]
    assert listed == [c for c in range(0x110000) if chr(c).isspace()]
    # str.strip() with no argument removes exactly these.
    assert all(chr(c).strip() == "" for c in listed)
