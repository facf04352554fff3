"""Hyperlinks attached to cells."""


class Hyperlink:
    """A link from the cell at `ref` to an external `target` (URL or path)
    or to a `location` inside the workbook (such as "'Sheet 2'!A1")."""

    __slots__ = ("ref", "target", "location", "tooltip", "display")

    def __init__(self, ref=None, target=None, location=None, tooltip=None, display=None):
        if target is None and location is None:
            raise ValueError("a hyperlink needs a target or a location")
        self.ref = ref
        self.target = target
        self.location = location
        self.tooltip = tooltip
        self.display = display

    def copy(self, ref=None):
        """A copy placed at `ref`."""
        return Hyperlink(ref, self.target, self.location, self.tooltip, self.display)

    def __repr__(self):
        return f"Hyperlink(ref={self.ref!r}, target={self.target!r}, location={self.location!r})"
