"""The vyr language: program scopes, statements, expressions and types (`from vk import vyr`)."""

from vk.vyr._expressions import Cast, Math, fixed
from vk.vyr._scope_management.scopes_manager import ScopeError
from vk.vyr._statements import (
    ResultStreamSource,
    advance_input_stream,
    align,
    assign,
    case_,
    declare,
    declare_input_stream,
    declare_stream,
    default_,
    else_,
    for_,
    for_each_,
    frame_rotation,
    if_,
    measure,
    play,
    program,
    save,
    stream_processing,
    switch_,
    wait,
    while_,
)

__all__ = [
    "Cast", "Math", "ResultStreamSource", "ScopeError", "advance_input_stream", "align", "assign",
    "case_", "declare", "declare_input_stream", "declare_stream", "default_", "else_", "fixed",
    "for_", "for_each_", "frame_rotation", "if_", "measure", "play", "program", "save",
    "stream_processing", "switch_", "wait", "while_",
]
