"""Which vyr program scope is open, and the block that statements go into."""

from contextlib import contextmanager

from vk.program import Program, Statement


class ScopeError(RuntimeError):
    """A statement or block used where the program's structure does not allow it."""


STREAM_PROCESSING = "stream processing"
_SWITCH_ITEMS = ("case", "default")
# Blocks that admit only some statements, and statements admitted only in some blocks.
_RESTRICTED_BLOCKS = frozenset({"switch", STREAM_PROCESSING})
_RESTRICTED_STATEMENTS = frozenset({"case", "default", "save_all"})


class _ProgramScope:
    """The scope of one program. Entering it opens the program; it can be
    entered again after it was left, and later statements append to the same
    program. `_program` is the program itself."""

    def __init__(self):
        self._program = Program()

    def __enter__(self):
        scopes_manager._open(self)
        return self

    def __exit__(self, exc_type, exc_value, traceback):
        scopes_manager._close(self)
        return False


class _ScopesManager:
    def __init__(self):
        self._open_programs: list[_ProgramScope] = []
        # The blocks being filled, innermost last: (kind of the block, its statements).
        self._blocks: list[tuple[str, list[Statement]]] = []

    def is_inside_program_scope(self) -> bool:
        return bool(self._open_programs)

    def _open(self, scope: _ProgramScope):
        if self._open_programs:
            raise ScopeError("a vyr program scope is already open; leave it before entering another")
        self._open_programs.append(scope)
        self._blocks = [("program", scope._program.statements)]

    def _close(self, scope: _ProgramScope):
        if not self._open_programs or self._open_programs[-1] is not scope:
            raise ScopeError("this vyr program scope is not the open one")
        self._open_programs.pop()
        self._blocks = []

    def _require_open(self):
        if not self._open_programs:
            raise ScopeError("vyr statements can only be made inside a program scope: use 'with vyr.program():'")

    @property
    def program(self) -> Program:
        self._require_open()
        return self._open_programs[-1]._program

    def _current(self) -> tuple[str, list[Statement]]:
        self._require_open()
        return self._blocks[-1]

    def emit(self, statement: Statement) -> Statement:
        """Appends `statement` to the innermost open block, if the block admits it."""
        if not self._blocks:
            self._require_open()
        kind, statements = self._blocks[-1]
        if kind not in _RESTRICTED_BLOCKS and statement.kind not in _RESTRICTED_STATEMENTS:
            statements.append(statement)
            return statement
        if kind == "switch" and statement.kind not in _SWITCH_ITEMS:
            raise ScopeError("only case_() and default_() blocks may stand directly inside switch_()")
        if statement.kind in _SWITCH_ITEMS and kind != "switch":
            raise ScopeError(f"{statement.kind}_() must stand directly inside switch_()")
        if (kind == STREAM_PROCESSING) != (statement.kind == "save_all"):
            if kind == STREAM_PROCESSING:
                raise ScopeError("only stream saves (save_all) may stand inside stream_processing()")
            raise ScopeError("save_all() must be called inside stream_processing()")
        statements.append(statement)
        return statement

    def last_statement(self) -> Statement | None:
        _, statements = self._current()
        return statements[-1] if statements else None

    @contextmanager
    def block(self, statement: Statement):
        """Emits `statement` and makes its body the innermost block while the context lasts."""
        self.emit(statement)
        self._blocks.append((statement.kind, statement.body))
        try:
            yield
        finally:
            if self._blocks:
                self._blocks.pop()

    @contextmanager
    def stream_processing(self):
        kind, _ = self._current()
        if kind == STREAM_PROCESSING:
            raise ScopeError("stream_processing() is already open")
        self._blocks.append((STREAM_PROCESSING, self.program.stream_processing))
        try:
            yield
        finally:
            if self._blocks:
                self._blocks.pop()


scopes_manager = _ScopesManager()
