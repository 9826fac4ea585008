"""How the whole compilation compares with the parse that it starts with.

Generates straight-line programs of 100, 1,000 and 10,000 gate lines, times
`openqasm3.parser.parse` alone and `Compiler.compile` on each, in one run, and
prints both with their ratio. Run with `make bench`.
"""

import argparse
import gc
import statistics
import sys
import time

import openqasm3

from vk import vyr

from corvane import Compiler, MachineProfile

QUBITS = {index: (f"q{index}.xy", f"q{index}.rr") for index in range(4)}


def play(qubit):
    vyr.play("x90", f"q{qubit}.xy")


def rotate(theta, qubit):
    vyr.frame_rotation(theta, f"q{qubit}.xy")


def couple(control, target):
    vyr.play("cz", f"q{control}.xy")


def read(qubit):
    return vyr.measure("readout", f"q{qubit}.rr")


PROFILE = MachineProfile({"x q;": play, "rz(t) q;": rotate, "cz a, b;": couple, "measure q;": read}, QUBITS)


def program(lines: int) -> str:
    """A straight-line program of `lines` gate lines on the hardware qubits."""
    body = ["OPENQASM 3.0;", "input float theta;", "bit[4] c;"]
    for i in range(lines):
        q = i % 4
        body.append(
            (
                f"x ${q};",
                f"rz(theta * {i % 7 + 1}) ${q};",
                f"cz ${q}, ${(q + 1) % 4};",
                f"c[{q}] = measure ${q};",
            )[i % 4]
        )
    return "\n".join(body) + "\n"


def best_of(repeats, function):
    """The best and the median time of `function()`, each run followed by a full
    collection of its garbage: the parser leaves cyclic garbage that the
    collector frees later, at a moment that falls inside whatever runs next, so
    every measurement pays for the garbage it made and for nothing else."""
    times = []
    for _ in range(repeats):
        gc.collect()
        start = time.perf_counter()
        function()
        gc.collect()
        times.append(time.perf_counter() - start)
    return min(times), statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[100, 1_000, 10_000])
    parser.add_argument("--repeats", type=int, default=3)
    arguments = parser.parse_args()

    compiler = Compiler(PROFILE)
    print(f"{'lines':>8} {'parse (s)':>10} {'compile (s)':>12} {'ratio':>7} {'compile per line (us)':>22}")
    for lines in arguments.sizes:
        source = program(lines)
        parse_time, _ = best_of(arguments.repeats, lambda: openqasm3.parser.parse(source))
        compile_time, _ = best_of(arguments.repeats, lambda: compiler.compile(source))
        print(
            f"{lines:>8} {parse_time:>10.3f} {compile_time:>12.3f} {compile_time / parse_time:>7.3f}"
            f" {compile_time / lines * 1e6:>22.1f}"
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
