from brindle.workbook.workbook import Workbook

__all__ = ["Workbook"]
