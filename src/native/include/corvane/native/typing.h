// What OpenQASM's typing makes of an expression by its form alone: whether it
// is a duration, whether it is real, whether it holds a duration anywhere.
// Every step that types expressions before they are translated (constants,
// gate arguments, folding's shortcuts) and the lowering, for a translation it
// does not make itself, reads them here, so that one expression is typed
// alike wherever it is read.
//
// A name is typed by the caller, which knows what it is (a constant's value,
// a declaration in scope, a variable of the program); a reading without one
// takes every name for a number. The ast classes are looked up once per
// module, at its first reading, and kept.
#pragma once

#include <nanobind/nanobind.h>

#include <functional>

namespace corvane::native::typing {

namespace nb = nanobind;

// Tells whether the name (a str) is of the kind asked for. Empty: none is.
using NameTest = std::function<bool(nb::handle name)>;

// A `duration` or `stretch` type node.
bool is_duration_type(nb::handle type);

// A type whose values are durations, or whose cells are: a duration or
// stretch type, or an array of them.
bool holds_durations(nb::handle type);

// Whether the expression is a duration: a duration literal, a name that
// `durations` says is one (or a cell of such an array), a sum, difference or
// multiple with a duration, a duration divided by a number, its negation, or
// an array literal of durations. A ratio of durations, a comparison, a cast
// or a call is not one, nor is anything else.
bool is_duration_valued(nb::handle expression, const NameTest& durations);

// Whether the expression holds a duration anywhere in it: a duration literal
// or a name that `durations` says is one. A step that drops an operand (a
// shortcut that makes `d * 0` the number 0) asks this rather than
// is_duration_valued: what it drops must not take a refusal with it.
bool mentions_duration(nb::handle expression, const NameTest& durations);

// How a call of a mathematical function is read as real or not.
enum class Calls {
    // As folding computes it: `sqrt`, `exp`, `sin`, ... give reals, `mod`
    // and `pow` of a real argument too, and `ceiling` and `floor` integers.
    // For refusing a real where an integer is declared.
    typed,
    // Not real: a reading that must know the value will be a real cannot
    // count a call, whose value may be of either kind.
    unread,
};

// Whether the expression is real: a real literal, a cast to float, a name
// that `reals` says is one, arithmetic with a real operand, the ratio of two
// durations (as `durations` reads them), its negation, and calls as `calls`
// says.
bool is_real_valued(nb::handle expression, const NameTest& reals, const NameTest& durations, Calls calls);

// The kinds of value that a cast converts to, and a variable of that kind
// converts what it is given to.
enum class Conversion { integer, real, boolean };

// `value` converted as a cast to the kind converts it, so that an explicit
// cast and the conversion of a value given to a variable are one: a plain
// number (a bool, an int or a float) becomes the plain integer truncated
// toward zero, the float or the truth value; a vk scalar expression of the
// kind stays itself; any other value goes through the SDK's Cast.to_int,
// Cast.to_fixed or Cast.to_bool. A plain infinity or NaN given for an
// integer raises the host's OverflowError or ValueError, which the caller
// names in its own terms. The SDK is looked up at the first conversion.
nb::object converted(nb::handle value, Conversion to);

}  // namespace corvane::native::typing
