"""File-like sources for the readers' tests."""


class Trickle:
    """At most `n` bytes per read, so that tags straddle the window's refills."""

    def __init__(self, data, n):
        self.data, self.n, self.pos = data, n, 0

    def read(self, size):
        out = self.data[self.pos:self.pos + min(size, self.n)]
        self.pos += len(out)
        return out
