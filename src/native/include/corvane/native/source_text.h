// OpenQASM 3 source text: text that holds no statement, and the text of a node.
//
// The openqasm3 parser fails on a text in which its lexer finds no token
// (empty, blank or comments only): it cannot give the program a span. Such a
// text is an empty program. The check runs only after the parser failed, so
// reading an ordinary text costs nothing more.
#pragma once

#include "corvane/native/python.h"

namespace corvane::native {

// Whether `text` (a str) holds only what the lexer skips: spaces, tabs, line
// breaks, `//` comments to the end of their line and closed `/* */` comments.
// Anything else, an unclosed block comment included, is not blank.
bool holds_no_statement(nb::handle text);

// `parse(text)`; when the parser fails on a text that holds no statement, a
// new `program_class(statements=[], version=None)` instead. Every other
// failure passes on unchanged.
nb::object parse_source(nb::handle parse, nb::handle program_class, nb::handle text);

// A syntax-tree node as OpenQASM source, as the library's printer writes it,
// for the texts of refusals; its record form when the printer has no text
// for it. Only for error paths: it imports the printer at each call.
nb::object node_source(nb::handle node);

}  // namespace corvane::native
