"""What help(), editors and type checkers see of the package: every public class, function and
method says what it is in a docstring, and shows its real parameters and types. A function made
in C++ without a signature shows nanobind's generic one (`x: object | None ... -> object`)."""

import dataclasses
import importlib
import inspect
import pathlib
import types

import pytest

SOURCE = pathlib.Path(__file__).parents[1] / "src"
MODULES = sorted(
    ".".join(path.relative_to(SOURCE).with_suffix("").parts).removesuffix(".__init__")
    for pattern in ("corvane/**/*.cpp", "corvane/**/*.py")
    for path in SOURCE.glob(pattern)
)

# Operations of a class that the interpreter or `dataclasses` makes, not the package.
MADE_BY_THE_HOST = {"__init__", "__repr__", "__eq__", "__hash__", "__setattr__", "__delattr__"}


def is_public(name):
    return not name.startswith("_") or (name.startswith("__") and name.endswith("__"))


def held_function(member):
    """The function behind a class member: unwraps static and class methods, properties and
    the support layer's method objects (abstract methods, scope-wrapped operations)."""
    if isinstance(member, (staticmethod, classmethod)):
        member = member.__func__
    if type(member).__module__ == "corvane.native":
        member = getattr(member, "__wrapped__", None) or member.__func__
    return member


def gaps_of_function(name, function):
    """What the function lacks: a docstring, or a signature that shows its parameters' types."""
    if type(function).__module__ == "nanobind":
        gaps = []
        for signature, doc, _ in function.__nb_signature__:
            if not doc:
                gaps.append(f"{name}: no docstring")
            if "object | None" in signature or signature.endswith("-> object"):
                gaps.append(f"{name}: generic signature {signature}")
        return gaps
    if isinstance(function, types.FunctionType):
        gaps = [] if inspect.getdoc(function) else [f"{name}: no docstring"]
        signature = inspect.signature(function)
        parameters = list(signature.parameters.values())
        if parameters and parameters[0].name in ("self", "cls"):
            parameters = parameters[1:]
        untyped = [p.name for p in parameters if p.annotation is inspect.Parameter.empty]
        if untyped:
            gaps.append(f"{name}: parameters without a type: {untyped}")
        if signature.return_annotation is inspect.Signature.empty:
            gaps.append(f"{name}: no return type")
        return gaps
    return []


def gaps_of_class(name, cls):
    gaps = []
    doc = cls.__dict__.get("__doc__")
    if not doc or doc.startswith(cls.__name__ + "("):  # none, or the record's generated one
        gaps.append(f"{name}: no docstring")
    record = dataclasses.is_dataclass(cls)
    for member_name, member in cls.__dict__.items():
        if not is_public(member_name) or member_name == "__doc__":
            continue
        if type(member).__module__ == "corvane.native" and getattr(member, "__name__", None) != member_name:
            gaps.append(f"{name}.{member_name}: help() does not know it by its name")
        function = held_function(member)
        if record and member_name in MADE_BY_THE_HOST and isinstance(function, types.FunctionType):
            continue
        if isinstance(member, property):
            if not member.__doc__:
                gaps.append(f"{name}.{member_name}: no docstring")
            function = member.fget
        gaps += gaps_of_function(f"{name}.{member_name}", function)
    return gaps


def defined_in(module, value):
    return getattr(value, "__module__", None) == module.__name__


@pytest.mark.parametrize("module_name", MODULES)
def test_public_classes_and_functions_say_what_they_are_and_take(module_name):
    module = importlib.import_module(module_name)
    gaps = [] if module.__doc__ or module.__file__.endswith(".so") else [f"{module_name}: no docstring"]
    for name, value in vars(module).items():
        if name.startswith("_") or not defined_in(module, value):
            continue
        if isinstance(value, type) and value.__name__ == name:
            gaps += gaps_of_class(name, value)
        elif callable(value) and not isinstance(value, type):
            gaps += gaps_of_function(name, value)
    assert not gaps, "\n".join(gaps)

