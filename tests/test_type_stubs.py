"""The package as type checkers see it: every compiled module ships its stub (.pyi) beside it,
the package is marked typed, and mypy checks user code against the stubs: the examples and the
README's example pass, and misuse is reported."""

import importlib
import pathlib
import re
import subprocess
import sys
import sysconfig
import textwrap

import pytest

import corvane

ROOT = pathlib.Path(__file__).parents[1]
SOURCE = ROOT / "src"
COMPILED_MODULES = sorted(
    ".".join(path.relative_to(SOURCE).with_suffix("").parts) for path in SOURCE.glob("corvane/**/*.cpp")
)
PROFILE = 'from corvane import Compiler, MachineProfile\nprofile = MachineProfile({"x q;": print}, {0: ("q0",)})\n'

# Snippets of user code, each with what mypy says of its last line (None: nothing).
SNIPPETS = {
    "wrong_source_type": (
        PROFILE + "Compiler(profile).compile(5)",
        'Argument 1 to "compile" of "Compiler" has incompatible type "int"; expected "str"',
    ),
    "wrong_profile_type": (
        PROFILE + "Compiler({})",
        'Argument 1 to "Compiler" has incompatible type "dict[Never, Never]"; expected "MachineProfile"',
    ),
    "wrong_option_type": (
        'from corvane import BuildOptions\nBuildOptions(max_inclusion_depth="deep")',
        'Argument "max_inclusion_depth" to "BuildOptions" has incompatible type "str"; expected "int"',
    ),
    "frozen_record": (
        "from corvane import BuildOptions\nBuildOptions().optimization_level = 2",
        'Property "optimization_level" defined in "BuildOptions" is read-only',
    ),
    "result_fields": (
        PROFILE + 'reveal_type(Compiler(profile).compile("x $0;").running_duration)',
        'Revealed type is "datetime.timedelta"',
    ),
    "finished_program": (
        PROFILE + 'reveal_type(Compiler(profile).compile("x $0;").result_program.dsl_program)',
        'Revealed type is "vk.program.Program"',
    ),
    "instance_attributes": (
        PROFILE + "reveal_type(Compiler(profile).creation_time)",
        'Revealed type is "datetime.datetime"',
    ),
    "imported_name": (
        "from corvane.configurations.machine_profile import InstructionRegistry, UnresolvableOperation",
        None,
    ),
    "abstract_step": (
        "from corvane.passes.pipeline_phase import Step\nStep()",
        'Cannot instantiate abstract class "Step" with abstract attribute "__call__"',
    ),
}


def readme_example():
    return re.search(r"```python\n(.*?)```", (ROOT / "README.md").read_text(), re.S).group(1)


@pytest.fixture(scope="module")
def mypy_report(tmp_path_factory):
    """mypy's report on the examples, the README's example and the snippets, in one run."""
    directory = tmp_path_factory.mktemp("typed")
    (directory / "readme_example.py").write_text(readme_example())
    for name, (code, _) in SNIPPETS.items():
        (directory / f"{name}.py").write_text(code + "\n")
    environment = {"PATH": "/usr/bin:/bin"}
    installed = pathlib.Path(sysconfig.get_paths()["purelib"]).resolve()
    package_root = pathlib.Path(corvane.__file__).resolve().parents[1]
    if package_root != installed:  # the package runs from the source tree (make devtest)
        environment["MYPYPATH"] = str(package_root)
    files = sorted(str(path) for path in (ROOT / "examples").glob("*.py")) + sorted(
        str(path) for path in directory.glob("*.py")
    )
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--check-untyped-defs", "--follow-imports=silent", "--no-error-summary",
         "--hide-error-context", "--cache-dir", str(directory / ".mypy_cache"), *files],
        capture_output=True, text=True, env=environment, cwd=directory, check=False,
    )
    assert "error: Cannot find" not in result.stdout and not result.stderr, result.stdout + result.stderr
    return result.stdout


def messages_of(report, file_name):
    return [line for line in report.splitlines() if pathlib.Path(line.split(":", 1)[0]).name == file_name]


@pytest.mark.parametrize("name", COMPILED_MODULES)
def test_every_compiled_module_ships_its_stub(name):
    module_file = pathlib.Path(importlib.import_module(name).__file__)
    assert (module_file.parent / (module_file.name.split(".")[0] + ".pyi")).is_file()


@pytest.mark.parametrize("package", ["corvane", "vk"])
def test_the_packages_are_marked_typed(package):
    assert (pathlib.Path(importlib.import_module(package).__file__).parent / "py.typed").is_file()


@pytest.mark.parametrize("file_name", ["demo.py", "machine_profile.py", "readme_example.py"])
def test_the_examples_type_check(mypy_report, file_name):
    assert messages_of(mypy_report, file_name) == []


@pytest.mark.parametrize("name", SNIPPETS)
def test_mypy_reports_misuse_against_the_stubs(mypy_report, name):
    code, expected = SNIPPETS[name]
    messages = messages_of(mypy_report, f"{name}.py")
    if expected is None:
        assert messages == []
    else:
        last_line = len(textwrap.dedent(code).splitlines())
        assert any(f":{last_line}: " in message and expected in message for message in messages), messages
