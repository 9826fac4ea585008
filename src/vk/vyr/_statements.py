"""The statements of a vyr program: declarations, streams, assignment, control flow and pulses.

Each call appends one statement to the innermost open block of the open
program scope; a block function returns a context manager whose statements
form the block.
"""

from contextlib import contextmanager

from vk.program import Statement, format_value
from vk.vyr._expressions import (
    VyrArrayCell,
    VyrArrayVariable,
    VyrScalarExpression,
    VyrVariable,
    fixed,
    is_scalar,
    require_scalar,
)
from vk.vyr._scope_management.scopes_manager import ScopeError, _ProgramScope, scopes_manager

_TYPES = (bool, int, fixed)
_PLAIN = (bool, int, float)


def _copy(value):
    """Plain values as they are now: a list given to a statement may change later."""
    return list(value) if isinstance(value, list) else value


# The texts of the statements, made when a program is rendered.


def _render_advance(variable):
    return f"advance input stream {variable.name}"


def _render_save_all(stream, name):
    return f"{stream.name}.save_all({format_value(name)})"


def _render_declare_stream(stream):
    return f"declare stream {stream.name}"


def _render_assign(target, value):
    return f"{target} = {format_value(value)}"


def _render_save(source, stream):
    return f"save {source} to {stream.name}"


def _render_for(variable, start, condition, update):
    return f"for ({variable} = {format_value(start)}; {format_value(condition)}; {variable} = {format_value(update)})"


def _render_for_each(variable, values):
    return f"for {variable} in {format_value(values)}"


def _render_switch(expression, unsafe):
    return f"switch {format_value(expression)}" + (" (unsafe)" if unsafe else "")


def _render_align(*elements):
    return _call_text("align", elements)


def _render_measure(result, pulse, element):
    return f"declare bool {result} = " + _call_text("measure", (pulse, element))


_KEYWORD_RENDERERS = {}
_CALL_RENDERERS = {}


def _keyword_renderer(keyword: str):
    """`keyword value`, as `if`, `while` and `case` read."""
    render = _KEYWORD_RENDERERS.get(keyword)
    if render is None:
        render = _KEYWORD_RENDERERS[keyword] = lambda value: f"{keyword} {format_value(value)}"
    return render


def _call_renderer(function: str):
    """`function(arg, ...)`."""
    render = _CALL_RENDERERS.get(function)
    if render is None:
        render = _CALL_RENDERERS[function] = lambda *args: _call_text(function, args)
    return render


_render_play = _call_renderer("play")
_render_wait = _call_renderer("wait")
_render_frame_rotation = _call_renderer("frame_rotation")


def program() -> _ProgramScope:
    """A new program scope: `with vyr.program() as scope: ...`, then `scope._program`."""
    return _ProgramScope()


def _emit(kind: str, render, *args) -> Statement:
    """Appends a statement whose text `render(*args)` makes when it is read."""
    return scopes_manager.emit(Statement(kind, render, args))


def _require_type(dtype, where: str):
    if dtype not in _TYPES:
        raise TypeError(f"{where} takes the type bool, int or fixed, got {dtype!r}")


def _initial_value(value, where: str):
    if value is None or isinstance(value, _PLAIN):
        return value
    if isinstance(value, list) and all(isinstance(item, _PLAIN) for item in value):
        return value
    raise TypeError(f"{where} takes a plain initial value or a list of them, got {value!r}")


def _declared(dtype, value, name: str, is_input_stream: bool):
    if isinstance(value, list):
        return VyrArrayVariable(name, dtype, len(value), is_input_stream)
    return VyrVariable(name, dtype, is_input_stream)


def _declaration_renderer(prefix: str):
    def render(variable, value):
        if isinstance(variable, VyrArrayVariable):
            head = f"{prefix} {variable.dtype.__name__}[{variable.size}] {variable.name}"
        else:
            head = f"{prefix} {variable.dtype.__name__} {variable.name}"
        return head if value is None else f"{head} = {format_value(value)}"

    return render


_render_declare = _declaration_renderer("declare")
_render_declare_input_stream = _declaration_renderer("declare input stream")


def declare(dtype, value=None):
    """Declares a variable of `dtype` (bool, int or fixed): a scalar, or an array when
    `value` is a list (its length is the array's size). Without a value the variable
    starts undefined, as a loop index does."""
    _require_type(dtype, "declare()")
    value = _initial_value(value, "declare()")
    variable = _declared(dtype, value, scopes_manager.program._new_name("v"), False)
    _emit("declare", _render_declare, variable, _copy(value))
    return variable


def declare_input_stream(dtype, *, name: str, value=None):
    """Declares a variable that is fed from the input stream `name`."""
    _require_type(dtype, "declare_input_stream()")
    if type(name) is not str:
        raise TypeError(f"declare_input_stream() takes a text name, got {name!r}")
    value = _initial_value(value, "declare_input_stream()")
    variable = _declared(dtype, value, scopes_manager.program._new_name("v", name), True)
    _emit("declare_input_stream", _render_declare_input_stream, variable, _copy(value))
    return variable


def advance_input_stream(variable):
    """Takes the next value of an input stream into its variable."""
    if not isinstance(variable, (VyrVariable, VyrArrayVariable)) or not variable.is_input_stream:
        raise TypeError(f"advance_input_stream() takes an input stream variable, got {variable!r}")
    _emit("advance_input_stream", _render_advance, variable)


class ResultStreamSource:
    """A result stream: `save` puts values into it, and `save_all`, inside stream
    processing, keeps everything it received under a name."""

    def __init__(self, name: str):
        self.name = name

    def save_all(self, name: str):
        if type(name) is not str:
            raise TypeError(f"save_all() takes a text name, got {name!r}")
        _emit("save_all", _render_save_all, self, name)

    def __repr__(self):
        return f"<ResultStreamSource {self.name}>"


def declare_stream() -> ResultStreamSource:
    stream = ResultStreamSource(scopes_manager.program._new_name("s"))
    _emit("declare_stream", _render_declare_stream, stream)
    return stream


def assign(target, value):
    """`target = value`, for a scalar variable or an array cell."""
    if not isinstance(target, (VyrVariable, VyrArrayCell)):
        raise TypeError(f"assign() takes a scalar variable or an array cell as its target, got {target!r}")
    require_scalar(value, "assign()")
    _emit("assign", _render_assign, target, value)


def save(source, stream):
    """Saves the current value of a scalar expression into a result stream."""
    if not isinstance(source, VyrScalarExpression):
        raise TypeError(f"save() takes a scalar vyr expression as its source, got {source!r}")
    if not isinstance(stream, ResultStreamSource):
        raise TypeError(f"save() takes a result stream, got {stream!r}")
    _emit("save", _render_save, source, stream)


def stream_processing():
    """The program's stream-processing section; only `save_all` calls stand in it."""
    return scopes_manager.stream_processing()


def _block(kind: str, render, *args):
    return scopes_manager.block(Statement(kind, render, args, opens_block=True))


def if_(condition):
    require_scalar(condition, "if_()")
    return _block("if", _keyword_renderer("if"), condition)


@contextmanager
def else_():
    """The else block of the if_ block that was closed just before."""
    previous = scopes_manager.last_statement()
    if previous is None or previous.kind != "if":
        raise ScopeError("else_() must follow an if_() block directly")
    with _block("else", "else"):
        yield


def while_(condition):
    require_scalar(condition, "while_()")
    return _block("while", _keyword_renderer("while"), condition)


def _require_loop_variable(variable, where: str):
    if not isinstance(variable, VyrVariable):
        raise TypeError(f"{where} takes a scalar variable as its loop variable, got {variable!r}")


def for_(variable, start, condition, update):
    """`for (variable = start; condition; variable = update)`."""
    _require_loop_variable(variable, "for_()")
    for argument in (start, condition, update):
        require_scalar(argument, "for_()")
    return _block("for", _render_for, variable, start, condition, update)


def for_each_(variable, values):
    """Runs the block once for each of `values`: a list of plain values or an array variable."""
    _require_loop_variable(variable, "for_each_()")
    if isinstance(values, list):
        if not all(isinstance(value, _PLAIN) for value in values):
            raise TypeError(f"for_each_() takes a list of plain values, got {values!r}")
    elif not isinstance(values, VyrArrayVariable):
        raise TypeError(f"for_each_() takes a list of plain values or an array variable, got {values!r}")
    return _block("for_each", _render_for_each, variable, _copy(values))


def switch_(expression, unsafe=False):
    require_scalar(expression, "switch_()")
    return _block("switch", _render_switch, expression, bool(unsafe))


def case_(value):
    require_scalar(value, "case_()")
    return _block("case", _keyword_renderer("case"), value)


def default_():
    return _block("default", "default")


def align(*elements):
    """Aligns the timelines of the given machine elements."""
    for element in elements:
        if type(element) is not str:
            raise TypeError(f"align() takes machine element names (text), got {element!r}")
    scopes_manager.emit(Statement("align", _render_align, elements))


# The few pulse-level operations that machine-profile implementations use.


def _elements(elements, where: str) -> tuple:
    for element in elements:
        if type(element) is not str:
            raise TypeError(f"{where} takes machine element names (text), got {element!r}")
    return elements


def _call_text(function: str, args) -> str:
    return f"{function}(" + ", ".join(format_value(arg) for arg in args) + ")"


def play(pulse: str, element: str):
    """Plays the pulse `pulse` on `element`."""
    if type(pulse) is not str or type(element) is not str:
        _elements((pulse, element), "play()")
    scopes_manager.emit(Statement("play", _render_play, (pulse, element)))


def wait(duration, *elements):
    """Waits `duration` clock cycles on the given elements."""
    require_scalar(duration, "wait()")
    _elements(elements, "wait()")
    _emit("wait", _render_wait, duration, *elements)


def frame_rotation(angle, *elements):
    """Rotates the frame of the given elements by `angle`."""
    require_scalar(angle, "frame_rotation()")
    _emit("frame_rotation", _render_frame_rotation, angle, *_elements(elements, "frame_rotation()"))


def measure(pulse: str, element: str) -> VyrVariable:
    """Measures `element` with the pulse `pulse`; the result is a new boolean variable."""
    _elements((pulse, element), "measure()")
    result = VyrVariable(scopes_manager.program._new_name("v"), bool)
    _emit("measure", _render_measure, result, pulse, element)
    return result

