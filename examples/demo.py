"""Compiles each example program for the example machine and prints its vyr program."""

import pathlib

from machine_profile import profile

from corvane import Compiler

PROGRAMS = pathlib.Path(__file__).parent / "programs"


def main():
    compiler = Compiler(profile, name="example compiler")
    for path in sorted(PROGRAMS.glob("*.qasm")):
        result = compiler.compile(path.read_text(), compilation_name=path.stem)
        print(f"=== {path.name} ({result.running_duration.total_seconds() * 1000:.1f} ms)")
        print(result.result_program.dsl_program)
        print()


if __name__ == "__main__":
    main()
