"""The xlsx package: named parts with content types, tied together by
relationships. One model serves reading and writing: a loaded workbook keeps
the parts it does not interpret and writes them back unchanged."""

from brindle.package.model import Package, Part, Relationship

__all__ = ["Package", "Part", "Relationship"]
