"""The elements of a worksheet part besides its cells, in the order the file
format requires them."""

ORDER = (
    "sheetPr", "dimension", "sheetViews", "sheetFormatPr", "cols", "sheetData", "sheetCalcPr",
    "sheetProtection", "protectedRanges", "scenarios", "autoFilter", "sortState",
    "dataConsolidate", "customSheetViews", "mergeCells", "phoneticPr", "conditionalFormatting",
    "dataValidations", "hyperlinks", "printOptions", "pageMargins", "pageSetup", "headerFooter",
    "rowBreaks", "colBreaks", "customProperties", "cellWatches", "ignoredErrors", "smartTags",
    "drawing", "legacyDrawing", "legacyDrawingHF", "drawingHF", "picture", "oleObjects",
    "controls", "webPublishItems", "tableParts", "extLst",
)
POSITION = {name: i for i, name in enumerate(ORDER)}

# Elements that exist only to point at other parts of the package (drawings,
# tables, embedded objects). Those parts are not carried over, so a loaded
# sheet cannot keep these.
REFERENCING = frozenset({
    "drawing", "legacyDrawingHF", "drawingHF", "picture", "oleObjects", "controls", "tableParts",
})
