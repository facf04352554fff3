"""The shared-string table read in pure Python: the reader after a native fallback.

It makes the same decisions as the native engine, item by item: a plain item
becomes its text here, an item the engine would hand to the host (an
attribute in no namespace on the item or a run, a child named in the
"dangerous" sets, run properties that "validate_rpr" refuses) goes to
helpers["si_content"] with its exact bytes and the bindings of its ancestors.
When the helpers hold "si_runs", every item with runs goes to it instead
(readers that keep the runs). Host helpers are called in the same order and
their exceptions propagate unchanged.
"""

from brindle.reader.helpers import checked_helpers
from brindle.reader.strings import si_runs
from brindle.reader.xmlwindow import MAX_TEXT, TEXT_TOO_LONG, TextTooLong, Window
from brindle.utils.escapes import decode_escapes

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
_SI = MAIN + "}si"
_PHONETIC = frozenset({"phoneticPr", "rPh"})
_ABSENT = object()


def _local(name):
    return name.rpartition("}")[2]


def _has_plain_attr(attrs):
    return any("}" not in key for key in attrs)


class _Table(Window):
    """Expat events folded into string items: one entry per <si> outside any other item."""

    def __init__(self, source, helpers):
        super().__init__(source)
        self.validate = helpers["validate_rpr"]
        self.si_content = helpers["si_content"]
        self.item_dangerous = helpers["text_dangerous"]
        self.run_dangerous = helpers["rich_dangerous"]
        self.si_runs = helpers.get("si_runs")
        self.verdicts = {}
        self.out = []
        self.depth = 0
        self.item = None  # depth of the open item
        self.collect = None  # text parts of the <t> being read
        p = self.parser
        p.StartElementHandler = self._start
        p.EndElementHandler = self._end
        p.CharacterDataHandler = self._text

    # Per item: capture handle, host flag, pending validator error, texts.
    def _begin_item(self, attrs):
        self.item = self.depth
        self.handle = self.open_capture()
        self.host = _has_plain_attr(attrs)
        self.has_runs = False
        self.pending = None
        self.item_text = None
        self.runs = []
        self.in_run = False
        self.rpr = None  # (capture handle, bindings) of an open <rPr>
        self.collect = None  # text parts of the <t> being read
        self.collect_depth = 0
        self.child_seen = False

    def _start(self, name, attrs):
        self.depth += 1
        if self.item is None:
            if name == _SI:
                self._begin_item(attrs)
            return
        if self.collect is not None:
            self.child_seen = True
        level = self.depth - self.item
        local = _local(name)
        if level == 1:
            self.in_run = False
            if local == "t":
                self._collect()
            elif local == "r":
                self.in_run = True
                self.has_runs = True
                self.run_text = None
                if _has_plain_attr(attrs):
                    self.host = True
            elif local not in _PHONETIC and local in self.item_dangerous:
                self.host = True
        elif level == 2 and self.in_run:
            if local == "rPr":
                self.rpr = (self.open_capture(), self.namespaces(self.parser.CurrentByteIndex))
            elif local == "t":
                self._collect()
            elif local in self.run_dangerous:
                self.host = True

    def _collect(self):
        self.collect = []
        self.collected = 0
        self.collect_depth = self.depth
        self.child_seen = False

    def _text(self, data):
        if self.collect is not None and not self.child_seen:
            self.collect.append(data)
            self.collected += len(data)
            if self.collected > MAX_TEXT:
                raise TextTooLong(TEXT_TOO_LONG)

    def _end(self, name):
        depth = self.depth
        self.depth -= 1
        if self.item is None:
            return
        level = depth - self.item
        if self.collect is not None and depth == self.collect_depth:
            text = "".join(self.collect) if self.collect else None
            self.collect = None
            if level == 1:
                self.item_text = text
            else:
                self.run_text = text
        elif level == 2 and self.in_run and self.rpr is not None:
            handle, bindings = self.rpr
            self.rpr = None
            self._judge(self.close_capture(handle), bindings)
        elif level == 1 and self.in_run:
            self.in_run = False
            self.runs.append(self.run_text)
        elif level == 0:
            self._end_item()

    def _judge(self, rpr, bindings):
        if self.host or self.pending is not None:
            return
        key = (rpr, tuple(bindings))
        ok = self.verdicts.get(key, _ABSENT)
        if ok is _ABSENT:
            try:
                ok = bool(self.validate(rpr, bindings))
            except Exception as exc:  # raised when the item ends
                self.pending = exc
                return
            self.verdicts[key] = ok
        if not ok:
            self.host = True

    def _end_item(self):
        self.item = None
        data = self.close_capture(self.handle)
        if self.pending is not None:
            exc, self.pending = self.pending, None
            raise exc
        if self.has_runs and self.si_runs is not None:
            value = self.si_runs(data, self.namespaces(self.handle[0]))
        elif self.host:
            value = self.si_content(data, self.namespaces(self.handle[0]))
        else:
            text = (self.item_text or "") + "".join(t for t in self.runs if t is not None)
            value = decode_escapes(text)
        self.out.append(value)


def with_runs(helpers):
    """`helpers` with "si_runs": items with runs are read as (value, rich text)."""
    return {**helpers, "si_runs": si_runs}


def split_runs(values, rich_text):
    """(values, runs) of a table read `with_runs`.

    With `rich_text` an item with runs is its `CellRichText`; otherwise it is
    its plain value, and `runs` maps its index to its rich text, which cells
    that show it keep until they are changed.
    """
    runs = {}
    for i, value in enumerate(values):
        if type(value) is tuple:
            plain, rich = value
            values[i] = rich if rich_text else plain
            if not rich_text:
                runs[i] = rich
    return values, runs


def read_string_table(source, helpers):
    """The shared-string table in `source` (a binary file object) as a list of values.

    `helpers` is the reading helpers dict with "si_content" (and optionally
    "si_runs"); XML errors are raised as `xml.etree.ElementTree.ParseError`.
    """
    checked = checked_helpers(helpers)
    si_content = dict.get(helpers, "si_content", _ABSENT)
    if si_content is _ABSENT:
        raise TypeError("missing helper si_content")
    checked["si_content"] = si_content
    si_runs = dict.get(helpers, "si_runs")
    if si_runs is not None:
        checked["si_runs"] = si_runs
    table = _Table(source, checked)
    for _ in table.feed_all(tuple):
        pass
    return table.out
