"""The settings that decide how a workbook is read and written: which threads
do the work, which deflate library, how large the blocks.

None of them changes what is read or written (values, warnings, errors and
the bytes of a saved file are the same under every choice); they trade
threads and memory for speed. A workbook takes them when it is created or
loaded, from its `options` argument or else from the ones `options()` has
set in the current context, and keeps them: two workbooks in one process,
or on two threads, may be read and written differently, and a lazy read of
a read-only workbook long after `load_workbook` uses the settings it was
opened with.
"""

from __future__ import annotations

import contextlib
import contextvars
import dataclasses
from collections.abc import Iterator

from brindle.utils import deflate
from brindle.utils.threads import free_threaded


@dataclasses.dataclass(frozen=True, slots=True)
class Options:
    """How a workbook is read and written. Frozen: change one with
    `dataclasses.replace` or `options(...)`.

    Where a field is None, the choice follows the interpreter: threads that
    exist only to run beside the parser or beside other sheets are used
    exactly when it runs without the GIL (with the GIL they would mostly
    take turns).

    - `read_ahead`: inflate a large archive member on a thread of its own,
      ahead of the parser.
    - `read_ahead_min`: members smaller than this many bytes (as the archive
      records them) are inflated on the reader's thread: a thread would cost
      more than it saves.
    - `block_size`: bytes inflated per call into the deflate library; the
      reader holds one such block and the read-ahead thread one more.
    - `parallel_sheets`: load the worksheets of a workbook on parallel threads.
    - `parallel_write`: write the worksheets of a workbook on parallel threads.
    - `deflate_thread`: deflate finished sheet data on a second thread while
      the next text is produced (both deflate libraries release the GIL).
    - `deflate_backend`: "isal" or "zlib"; None takes the fastest available.
      Both read and write standard deflate streams.
    """

    read_ahead: bool | None = None
    read_ahead_min: int = 4 << 20
    block_size: int = 1 << 17
    parallel_sheets: bool | None = None
    parallel_write: bool | None = None
    deflate_thread: bool = True
    deflate_backend: str | None = None

    def __post_init__(self):
        for name in ("read_ahead", "parallel_sheets", "parallel_write"):
            value = getattr(self, name)
            if value is not None and not isinstance(value, bool):
                raise TypeError(f"Options.{name} must be True, False or None, not {value!r}")
        if not isinstance(self.deflate_thread, bool):
            raise TypeError(f"Options.deflate_thread must be True or False, "
                            f"not {self.deflate_thread!r}")
        if type(self.block_size) is not int or self.block_size < 1:
            raise ValueError(f"Options.block_size must be a positive int, not {self.block_size!r}")
        if type(self.read_ahead_min) is not int or self.read_ahead_min < 0:
            raise ValueError(f"Options.read_ahead_min must be an int of at least 0, "
                             f"not {self.read_ahead_min!r}")
        if self.deflate_backend is not None and self.deflate_backend not in deflate.available():
            raise ValueError(f"deflate library {self.deflate_backend!r} is not available "
                             f"(available: {', '.join(deflate.available())})")

    def reads_ahead(self) -> bool:
        """Whether large members are inflated ahead of the reader."""
        return free_threaded() if self.read_ahead is None else self.read_ahead

    def loads_in_parallel(self) -> bool:
        """Whether the sheets of a workbook are loaded on parallel threads."""
        return free_threaded() if self.parallel_sheets is None else self.parallel_sheets

    def writes_in_parallel(self) -> bool:
        """Whether the sheets of a workbook are written on parallel threads."""
        return free_threaded() if self.parallel_write is None else self.parallel_write

    @property
    def deflate_library(self) -> str:
        """The deflate library these options use ("isal" or "zlib")."""
        return self.deflate_backend or deflate.available()[0]


DEFAULT = Options()

# A context variable, not a global: a setting made for one load (or one
# test, or one asyncio task) reaches nothing outside it.
_current: contextvars.ContextVar[Options] = contextvars.ContextVar(
    "brindle_options", default=DEFAULT)


def current_options() -> Options:
    """The options workbooks created or loaded now take when given none."""
    return _current.get()


def resolve(options: Options | None) -> Options:
    """`options` itself when given (checked), else the current ones."""
    if options is None:
        return _current.get()
    if not isinstance(options, Options):
        raise TypeError(f"options must be a brindle.Options, not {type(options).__name__}")
    return options


@contextlib.contextmanager
def options(base: Options | None = None, /, **changes) -> Iterator[Options]:
    """Set the options of the workbooks created or loaded in this block.

    `base` (default: the options in effect) with the fields named in
    `changes` replaced; the previous options come back when the block
    ends, however it ends::

        with brindle.options(parallel_sheets=False, deflate_backend="zlib"):
            wb = brindle.load_workbook(path)
    """
    chosen = resolve(base)
    if changes:
        chosen = dataclasses.replace(chosen, **changes)
    token = _current.set(chosen)
    try:
        yield chosen
    finally:
        _current.reset(token)
