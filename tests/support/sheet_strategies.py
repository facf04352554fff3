"""Hypothesis strategies for worksheet XML with odd cells, shared by the
differential tests of the native readers against the pure-Python ones."""

from hypothesis import strategies as st

import sheetgen as gen


def cells(refs, styles, types, formulas, values, extras):
    """One <c> element: each attribute drawn from its strategy (None leaves
    it out), then a formula, a value and an extra child, any of them absent."""

    @st.composite
    def cell(draw):
        attrs = ""
        for name, strat in (("r", refs), ("s", styles), ("t", types)):
            v = draw(strat)
            if v is not None:
                attrs += f' {name}="{v}"'
        body = draw(formulas) or ""
        v = draw(st.one_of(st.none(), values))
        if v is not None:
            body += f"<v>{v}</v>"
        body += draw(extras)
        return f"<c{attrs}>{body}</c>" if body or draw(st.booleans()) else f"<c{attrs}/>"

    return cell()


def worksheets(cell, *, rows, cells_per_row, row_refs, heads):
    """Whole worksheets of such cells, as bytes, in any of the spellings of
    sheetgen.SPELLINGS."""

    @st.composite
    def worksheet(draw):
        parts = []
        for _ in range(draw(st.integers(1, rows))):
            r = draw(st.sampled_from(row_refs))
            extra = draw(st.sampled_from(["", ' ht="12"', ' spans="1:2"', ' x:y="1"']))
            row_cells = "".join(draw(st.lists(cell, max_size=cells_per_row)))
            ra = f' r="{r}"' if r is not None else ""
            parts.append(f"<row{ra}{extra}>{row_cells}</row>")
        head = draw(st.sampled_from(heads))
        tail = draw(st.sampled_from(["", "<mergeCells/>", "<odd>t</odd>"]))
        xml = (f'<worksheet xmlns="{gen.MAIN}" xmlns:x="urn:x">{head}<sheetData>'
               f'{"".join(parts)}</sheetData>{tail}</worksheet>')
        spelling = draw(st.lists(st.integers(0, len(gen.SPELLINGS) - 1), max_size=3))
        return gen.respell(xml, spelling).encode()

    return worksheet()
