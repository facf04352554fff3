"""How large a worksheet can be: the one home of these numbers."""

# The last row and column a worksheet can have (XFD1048576): cells beyond
# them are refused when written and reported when read.
MAX_ROW = 1_048_576
MAX_COLUMN = 16_384

# The widest column three letters can name (ZZZ). References are converted
# and formulas translated up to it, past MAX_COLUMN, because files from
# other producers name such columns and a reference is text until it is used.
MAX_COLUMN_LETTERS = 18_278
