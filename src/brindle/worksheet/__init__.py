from brindle.worksheet.dimensions import RowDimension
from brindle.worksheet.worksheet import Worksheet
from brindle.worksheet.write_only import WorkbookAlreadySaved, WriteOnlyWorksheet

__all__ = ["RowDimension", "Worksheet", "WorkbookAlreadySaved", "WriteOnlyWorksheet"]
