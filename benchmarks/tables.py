"""How the benchmark scripts print their tables: aligned plain text, or with `--markdown` a markdown table
ready for docs/benchmarks.md. Rows are printed as they come, so a long sweep shows its progress."""

import sys


def add_markdown_option(parser):
    parser.add_argument(
        "--markdown",
        action="store_true",
        help="print the table as markdown (as docs/benchmarks.md shows it), not as aligned text",
    )


class Table:
    """One table on standard output. `columns` is a list of (heading, align), align "<" or ">"."""

    def __init__(self, columns, markdown=False, out=None):
        self.columns = columns
        self.markdown = markdown
        self.out = out if out is not None else sys.stdout
        if markdown:
            self._line("| " + " | ".join(h for h, _ in columns) + " |")
            self._line("|" + "|".join("---:" if a == ">" else "---" for _, a in columns) + "|")
        else:
            self._line("  ".join(self._cell(h, h, a) for h, a in columns))

    def _cell(self, text, heading, align):
        return f"{text:{align}{len(heading)}}"

    def _line(self, text):
        print(text.rstrip(), file=self.out, flush=True)

    def row(self, *cells):
        if len(cells) != len(self.columns):
            raise ValueError(f"a row of {len(cells)} cells for {len(self.columns)} columns")
        cells = [str(c) for c in cells]
        if self.markdown:
            self._line("| " + " | ".join(cells) + " |")
        else:
            self._line("  ".join(self._cell(c, h, a) for c, (h, a) in zip(cells, self.columns, strict=True)))
