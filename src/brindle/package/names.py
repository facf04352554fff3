"""Namespaces, content types and relationship types of the xlsx package:
the one home of each."""

MAIN_NS = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
DOC_REL_NS = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
PKG_REL_NS = "http://schemas.openxmlformats.org/package/2006/relationships"
CT_NS = "http://schemas.openxmlformats.org/package/2006/content-types"
CORE_NS = "http://schemas.openxmlformats.org/package/2006/metadata/core-properties"

_CT = "application/vnd.openxmlformats-officedocument.spreadsheetml."
CT_WORKBOOK = _CT + "sheet.main+xml"
CT_WORKBOOK_MACRO = "application/vnd.ms-excel.sheet.macroEnabled.main+xml"
CT_WORKSHEET = _CT + "worksheet+xml"
CT_STYLES = _CT + "styles+xml"
CT_COMMENTS = _CT + "comments+xml"
CT_VML = "application/vnd.openxmlformats-officedocument.vmlDrawing"
CT_RELS = "application/vnd.openxmlformats-package.relationships+xml"
CT_THEME = "application/vnd.openxmlformats-officedocument.theme+xml"
CT_CORE = "application/vnd.openxmlformats-package.core-properties+xml"
CT_APP = "application/vnd.openxmlformats-officedocument.extended-properties+xml"

REL_OFFICE_DOCUMENT = DOC_REL_NS + "/officeDocument"
REL_WORKSHEET = DOC_REL_NS + "/worksheet"
REL_CHARTSHEET = DOC_REL_NS + "/chartsheet"
REL_STYLES = DOC_REL_NS + "/styles"
REL_THEME = DOC_REL_NS + "/theme"
REL_SHARED_STRINGS = DOC_REL_NS + "/sharedStrings"
REL_CALC_CHAIN = DOC_REL_NS + "/calcChain"
REL_HYPERLINK = DOC_REL_NS + "/hyperlink"
REL_COMMENTS = DOC_REL_NS + "/comments"
REL_VML = DOC_REL_NS + "/vmlDrawing"
REL_APP = DOC_REL_NS + "/extended-properties"
REL_CORE = PKG_REL_NS + "/metadata/core-properties"
# Some producers write the core properties under the officeDocument namespace.
REL_CORE_ALT = DOC_REL_NS + "/metadata/core-properties"

XML_DECL = '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'


# Two escapers, because attribute values and element content lose different
# characters to a parser: it turns a raw tab, newline or carriage return in
# an attribute into a space, but in content it keeps tabs and newlines and
# turns only a carriage return (alone or before a newline) into a newline.
# Each escapes exactly what its place needs; `quote` is safe in both places
# but spells every line break of a text as a reference.


def quote(text):
    """Text escaped for a double-quoted attribute value (safe as content too)."""
    return (str(text).replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
            .replace('"', "&quot;").replace("\n", "&#10;").replace("\r", "&#13;")
            .replace("\t", "&#9;"))


def quote_text(text):
    """Text escaped for element content: line breaks and tabs kept as they are."""
    return (str(text).replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
            .replace("\r", "&#13;"))


def rel_kind(rel_type):
    """The last segment of a relationship type ("worksheet", "styles", ...)."""
    return rel_type.rpartition("/")[2]
