"""A finished vyr program: the tree of statements that a program scope recorded."""

INDENT = "    "


def format_value(value) -> str:
    """The program text of a value: plain values in vyr spelling, expressions by their own text."""
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, float):
        return repr(float(value))
    if isinstance(value, str):
        return '"' + value + '"'
    if isinstance(value, list):
        return "[" + ", ".join(format_value(item) for item in value) + "]"
    return str(value)


class Statement:
    """One recorded statement: its kind, the objects it was given, its text and,
    for a statement that opens a block, the statements of that block.

    The text is made when it is first read, by `render(*args)`: building a
    program costs no formatting, and its arguments (expressions, names and
    copies of plain values) do not change afterwards.
    """

    __slots__ = ("kind", "args", "body", "_render", "_text")

    def __init__(self, kind: str, render, args: tuple = (), opens_block: bool = False):
        self.kind = kind
        self.args = args
        self.body = [] if opens_block else None
        if type(render) is str:
            self._render, self._text = None, render
        else:
            self._render, self._text = render, None

    @property
    def text(self) -> str:
        if self._text is None:
            self._text = self._render(*self.args)
        return self._text

    def __repr__(self):
        return f"Statement({self.kind!r}, {self.text!r})"


def _render(statements, depth, lines):
    for statement in statements:
        if statement.body is None:
            lines.append(INDENT * depth + statement.text)
            continue
        lines.append(INDENT * depth + statement.text + ":")
        if statement.body:
            _render(statement.body, depth + 1, lines)
        else:
            lines.append(INDENT * (depth + 1) + "pass")


class Program:
    """The statements of one program, in order, and its stream-processing section.

    Its text form (`str`) is deterministic: variables and streams show their
    given name, or a name generated in declaration order (v1, v2, ..., s1, ...).
    """

    def __init__(self):
        self.statements: list[Statement] = []
        self.stream_processing: list[Statement] = []
        self._names: set[str] = set()
        self._counters: dict[str, int] = {}

    def _new_name(self, prefix: str, given: str | None = None) -> str:
        if given is not None:
            self._names.add(given)
            return given
        count = self._counters.get(prefix, 0)
        while True:
            count += 1
            name = f"{prefix}{count}"
            if name not in self._names:
                break
        self._counters[prefix] = count
        self._names.add(name)
        return name

    def __str__(self):
        lines: list[str] = []
        _render(self.statements, 0, lines)
        if self.stream_processing:
            lines.append("stream processing:")
            _render(self.stream_processing, 1, lines)
        return "\n".join(lines)

    def __repr__(self):
        return f"<vk Program of {len(self.statements)} statements>"
