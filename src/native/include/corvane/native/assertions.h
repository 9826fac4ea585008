// Checks by an assertion: like the host's `assert` statement, they raise
// AssertionError only while the interpreter runs without `-O`.
#pragma once

#include "corvane/native/python.h"

namespace corvane::native {

// Whether the running interpreter executes assertions (`sys.flags.optimize` is 0).
bool assertions_enabled();

[[noreturn]] void raise_assertion_error();
[[noreturn]] void raise_assertion_error(const char* message);

// `assert condition` / `assert condition, message`. The condition is evaluated
// eagerly; write `if (assertions_enabled() && ...)` where evaluating it could
// have effects that `-O` must skip.
inline void check_assertion(bool condition) {
    if (!condition && assertions_enabled()) raise_assertion_error();
}
inline void check_assertion(bool condition, const char* message) {
    if (!condition && assertions_enabled()) raise_assertion_error(message);
}

// A check of the compiled program written as an assertion, with its message,
// that holds under `-O` too: skipping it would let an unsupported construct
// through, to be compiled into a program that does something else.
inline void check_supported(bool condition, const char* message) {
    if (!condition) raise_assertion_error(message);
}

}  // namespace corvane::native
