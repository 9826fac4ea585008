"""Compiles each example program for the example machine and prints its vyr program."""

import pathlib

from machine_profile import profile

from corvane import Compiler

PROGRAMS = pathlib.Path(__file__).parent / "programs"

# The input values each program is compiled with, by program name; an input
# given none is read from its input stream when the program runs. A duration
# is given in clock cycles of 4 ns: 100 is 400ns.
INPUTS = {"ramsey": {"wait": 100}}


def main():
    compiler = Compiler(profile, name="example compiler")
    for path in sorted(PROGRAMS.glob("*.qasm")):
        result = compiler.compile(path.read_text(), compilation_name=path.stem, inputs=INPUTS.get(path.stem))
        print(f"=== {path.name} ({result.running_duration.total_seconds() * 1000:.1f} ms)")
        print(result.result_program.dsl_program)
        print()


if __name__ == "__main__":
    main()
