"""A list that hands out one stable index per distinct value."""


class IndexedList(list):
    """List whose `add` returns the index of a value, appending it only once.

    Values must be hashable and must not change while they are in the list;
    callers that hold mutable values store a copy.
    """

    __slots__ = ("_index",)

    def __init__(self, iterable=()):
        super().__init__()
        self._index = {}
        for value in iterable:
            self.add(value)

    def add(self, value):
        try:
            return self._index[value]
        except KeyError:
            pass
        index = len(self)
        self.append(value)
        self._index[value] = index
        return index

    def index(self, value, *args):
        if not args and value in self._index:
            return self._index[value]
        return super().index(value, *args)

    def __contains__(self, value):
        return value in self._index
