"""The namespace declarations an element captured from a worksheet needs to be
read again on its own.

The parsers hand each captured element the bindings its ancestors put in
scope, one list shared by every element under the same declarations. A file
may declare thousands of prefixes on its root: declaring all of them again
for each element would make reading the sheet quadratic, so only the
prefixes the element's own tags and attributes use are declared.
"""

import re

# A prefixed name of a tag or an attribute: what follows "<", "</" or
# whitespace and ends in ":". Matches in text or attribute values only add a
# declaration nobody uses.
_PREFIXED = re.compile(rb"(?:<|</|\s)([A-Za-z_][\w.\-]*):")


def _attr(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace('"', "&quot;")


class ScopeDeclarations:
    """Declarations for the elements of one worksheet, with the bindings of
    each scope indexed once."""

    def __init__(self):
        self._scope = None  # the last list of bindings seen, held so its id stays its own
        self._uris = {}

    def __call__(self, data, namespaces):
        """The xmlns attributes (text) that let `data` be parsed outside its part."""
        if namespaces is not self._scope:
            self._scope = namespaces
            self._uris = {p: u for p, u in namespaces if p != "xml"}
        uris = self._uris
        out = []
        default = uris.get("")
        if default is not None:
            out.append(f' xmlns="{_attr(default)}"')
        for prefix in {m.decode("utf-8", "replace") for m in _PREFIXED.findall(data)}:
            uri = uris.get(prefix)
            if uri is not None and prefix:
                out.append(f' xmlns:{prefix}="{_attr(uri)}"')
        return "".join(out)
