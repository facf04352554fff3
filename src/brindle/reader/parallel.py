"""Reading the cells of several worksheets at once, on a few threads."""

import functools
import os
import threading


class Cancelled(Exception):
    """Raised into a sheet being read once nobody wants its cells any more."""


class ParallelSheets:
    """Reads the cells of several worksheets on a few threads.

    Each sheet has its own stream, parser and store, so the threads share
    only what is read and never changed (the package's members, the shared
    strings, the style arrays). The results come back in the file's order.
    Once a sheet has failed, sheets after it are not started (a serial load
    would never reach them), and a consumer that stops early, by an error
    or an interrupt, cancels what is still being read: `results` waits for
    every thread before it returns or raises, so none outlives the load."""

    def __init__(self, loader, sheets, cell_styles):
        self.loader = loader
        self.sheets = sheets
        self.cell_styles = cell_styles
        self.lock = threading.Lock()
        self.done = threading.Condition(self.lock)
        self.outcome = [None] * len(sheets)  # (actions, row dimensions) or the exception
        self.finished = [False] * len(sheets)
        self.next_index = 0
        self.first_error = len(sheets)  # the earliest sheet that failed
        self.cancelled = False

    def _cancellable(self, src):
        return CancellableSource(src, self)

    def _work(self):
        while True:
            with self.lock:
                i = self.next_index
                if i >= len(self.sheets) or i > self.first_error or self.cancelled:
                    return
                self.next_index = i + 1
            ws, source = self.sheets[i]
            try:
                outcome = self.loader.read_sheet(ws, source, self.cell_styles,
                                                 self._cancellable)
            except BaseException as exc:
                outcome = exc
            with self.lock:
                self.outcome[i] = outcome
                self.finished[i] = True
                if isinstance(outcome, BaseException):
                    self.first_error = min(self.first_error, i)
                self.done.notify_all()

    def results(self):
        """Per sheet, in order, a callable giving (actions, row dimensions) or raising what
        reading the sheet raised."""
        workers = min(len(self.sheets), os.process_cpu_count() or 1)
        threads = [threading.Thread(target=self._work, name=f"brindle sheet reader {n}",
                                    daemon=True) for n in range(workers)]
        for t in threads:
            t.start()
        try:
            for i in range(len(self.sheets)):
                with self.lock:
                    while not self.finished[i]:
                        self.done.wait()
                    outcome, self.outcome[i] = self.outcome[i], None
                yield functools.partial(_outcome, outcome)
        finally:
            with self.lock:
                self.cancelled = True
            for t in threads:
                t.join()


def _outcome(outcome):
    if isinstance(outcome, BaseException):
        raise outcome
    return outcome


class CancellableSource:
    """A member stream that stops a cancelled parallel load at its next read."""

    __slots__ = ("_src", "_load")

    def __init__(self, src, load):
        self._src = src
        self._load = load

    def read(self, size=-1):
        if self._load.cancelled:
            raise Cancelled("the load was abandoned")
        return self._src.read(size)
