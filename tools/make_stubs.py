"""Writes the type stubs (.pyi) of corvane's extension modules, read from the modules themselves.

The build runs it once the modules are built (in place) or installed:

    python tools/make_stubs.py --source src --modules <directory that holds corvane/...>

Each stub lands beside its module. The stubs come from nanobind's stub
generator, which reads the signatures and documentation that the modules give
their functions. corvane's classes are plain Python classes with C++ methods,
some of them records made by `dataclasses`, and its modules hold the names
they import; the generator is taught those three things here:

- a record is written as a `@dataclass` class with its fields, so that type
  checkers make its constructor, equality and frozenness as the host does;
- a method held by one of the support layer's method objects (abstract methods,
  the scope-wrapped operations of `Vyr1Program`) is written as the function it
  holds, `@abstractmethod` when it is one;
- a name that a module imports is written as an import of it from the module
  that defines it (`from X import N as N`), so that it is part of the stub as
  it is part of the module.
"""

import abc
import argparse
import builtins
import dataclasses
import enum
import importlib.machinery
import inspect
import pathlib
import shutil
import sys
import tempfile
import types
import typing

from nanobind.stubgen import StubGen

# The order in which modules finished loading: a module that imports a name
# from another finishes after it, so the first of them to finish defines it.
# Modules loaded before the generator started come first; a package that
# was only loaded on the way to its submodules comes last.
_finished: dict[str, int] = {}
_preloaded: set[str] = set()


def _record_imports() -> None:
    _preloaded.update(sys.modules)
    original = builtins.__import__

    def recording_import(name, globals=None, locals=None, fromlist=(), level=0):
        module = original(name, globals, locals, fromlist, level)
        if level == 0 and name in sys.modules and name not in _finished:
            _finished[name] = len(_finished)
        return module

    builtins.__import__ = recording_import


def _finishing_order(module: str) -> int:
    if module in _preloaded:
        return -1
    return _finished.get(module, sys.maxsize)


def _is_method_object(value: object) -> bool:
    tp = type(value)
    return tp.__module__ == "corvane.native" and tp.__name__ == "method"


def _held_function(value: typing.Any) -> typing.Any:
    """The function that a method object calls."""
    return getattr(value, "__wrapped__", None) or value.__func__


# Members that `dataclasses` makes; a type checker makes them again from the fields.
_RECORD_MEMBERS = {
    "__init__", "__repr__", "__eq__", "__hash__", "__setattr__", "__delattr__", "__match_args__",
    "__dataclass_params__", "__dataclass_fields__", "__lt__", "__le__", "__gt__", "__ge__",
    "__replace__", "__getstate__", "__setstate__",
}


class CorvaneStubGen(StubGen):
    def origin(self, name: str, value: typing.Any) -> typing.Optional[tuple[str, str]]:
        """(module, name) that defines `value`, when this module imported it, else None."""
        here = self.module.__name__
        named = isinstance(value, (type, types.FunctionType, types.BuiltinFunctionType)) or (
            type(value).__module__ == "nanobind"
        )
        # A built-in type under another name (`Element = str`) is an alias, found below.
        if named and not (getattr(value, "__module__", None) == "builtins" and name != value.__name__):
            module = getattr(value, "__module__", None)
            if module == here:
                return None
            if module and module in sys.modules:
                defined = getattr(value, "__name__", name)
                if getattr(sys.modules[module], defined, None) is value:
                    return module, defined
        holders = [
            module_name
            for module_name, module in list(sys.modules.items())
            if module is not None and getattr(module, "__dict__", {}).get(name, _MISSING) is value
        ]
        if not holders:
            return None
        own = getattr(value, "__module__", None)
        if own in holders:
            first = own
        else:
            first = min(holders, key=lambda module: (_finishing_order(module), len(module), module))
        return None if first == here else (first, name)

    def put(self, value: typing.Any, name: typing.Optional[str] = None, parent: typing.Optional[object] = None) -> None:
        if parent is self.module and name is not None and not inspect.ismodule(value):
            found = self.origin(name, value)
            if found is not None:
                if not name.startswith("_") or name == "__version__":
                    self.bind(found[0], found[1], name, export=True)
                return
            if isinstance(value, type) and name != value.__name__:
                # A class under a name of this module's own (`Element = str`): a type alias.
                alias = self.bind("typing", "TypeAlias")
                self.write_ln(f"{name}: {alias} = {self.type_str(value)}\n")
                return
        if name in ("__abstractmethods__", "__parameters__"):
            return
        if name == "__annotations__" and isinstance(parent, type):
            # The attributes that a class declares for its instances.
            for field_name, text in value.items():
                if not field_name.startswith("_"):
                    self.write_ln(f"{field_name}: {self.annotation(text, parent)}")
            self.write("\n")
            return
        if _is_method_object(value):
            if not (name and name.startswith("_") and not name.startswith("__")):
                self.put_method_object(value, name)
            return
        super().put(value, name, parent)

    def put_method_object(self, value: object, name: typing.Optional[str], is_classmethod: bool = False) -> None:
        if getattr(value, "__isabstractmethod__", False):
            self.write_ln("@" + self.bind("abc", "abstractmethod"))
        held = _held_function(value)
        if type(held).__module__ == "nanobind":
            self.put_nb_func(held, name, is_classmethod=is_classmethod)
        else:
            super().put_function(held, name)

    def expr_str(self, e, abbrev=True):
        # An enumeration member named by a symbol (`AssignmentOperator["="]`) has no dotted form.
        if isinstance(e, enum.Enum) and not e._name_.isidentifier():
            return None
        return super().expr_str(e, abbrev)

    def put_function(self, fn, name=None, parent=None):
        if isinstance(fn, classmethod) and _is_method_object(fn.__func__):
            self.write_ln("@classmethod")
            self.put_method_object(fn.__func__, name, is_classmethod=True)
            return
        super().put_function(fn, name, parent)

    def put_type(self, tp, name):
        if (
            dataclasses.is_dataclass(tp)
            and tp.__module__ == self.module.__name__
            and (name is None or name == tp.__name__)
        ):
            self.put_record(tp)
            return
        if name is None or (name == tp.__name__ and tp.__module__ == self.module.__name__):
            self.put_class(tp)
            return
        super().put_type(tp, name)

    def header(self, tp, bases: list[str], decorators: typing.Sequence[str] = ()) -> None:
        """The class statement: its decorators, bases and, for a class that is abstract
        without defining an abstract method, the metaclass that says so."""
        for decorator in decorators:
            self.write_ln(decorator)
        inherited_abstract: frozenset[str] = getattr(tp, "__abstractmethods__", frozenset()) - {
            key for key, value in tp.__dict__.items() if getattr(value, "__isabstractmethod__", False)
        }
        if inherited_abstract and isinstance(tp, abc.ABCMeta):
            bases = bases + [f"metaclass={self.bind('abc', 'ABCMeta')}"]
        bases = [base for base in bases if base != "object"]
        line = f"class {tp.__name__}" + (f"({', '.join(bases)}):" if bases else ":")
        if _outside_constraints(tp):
            # The class's own base gives a constrained type variable a value outside its
            # constraints; the runtime allows it, a type checker does not.
            line += "  # type: ignore[type-var]"
        self.write_ln(line)

    def put_class(self, tp) -> None:
        """A class of this module, as the generator writes one, with its own bases
        (`__orig_bases__` read from the class itself, never from a base)."""
        bases = [self.type_str(base) for base in tp.__dict__.get("__orig_bases__", tp.__bases__)]
        self.header(tp, bases)
        self.depth += 1
        output_pos = self._output.tell()
        if tp.__doc__ and self.include_docstrings:
            self.put_docstr(tp.__doc__)
            self.write("\n")
        for key, member in dict(tp.__dict__).items():
            self.put(member, key, tp)
        if output_pos == self._output.tell():
            self.write_ln("pass\n")
        self.depth -= 1

    def resolve(self, text: str, record: type) -> object:
        """What an annotation kept as text names: read in the record's module, then in the
        modules of its bases and in `typing`; a bare name the module does not hold is the one
        class of that name among the loaded modules."""
        namespace = dict(vars(typing))
        for base in reversed(record.__mro__[1:]):
            if base.__module__ in sys.modules:
                namespace.update(vars(sys.modules[base.__module__]))
        namespace.update(vars(self.module))
        try:
            return eval(text, namespace)
        except NameError:
            pass
        if text.isidentifier():
            classes = {
                id(value): value
                for module in list(sys.modules.values())
                if module is not None
                for value in [getattr(module, text, None)]
                if isinstance(value, type) and value.__name__ == text
            }
            if len(classes) == 1:
                return next(iter(classes.values()))
        raise RuntimeError(f"{self.module.__name__}.{record.__name__}: cannot resolve the annotation {text!r}")

    def annotation(self, text: object, record: type) -> str:
        """An annotation of a record field, as the stub writes it."""
        if not isinstance(text, str):
            return self.type_str(text)
        value = self.resolve(text, record)
        held = vars(self.module).get(text, _MISSING)
        if held is value and getattr(typing, text, None) is not value and not text.startswith("_"):
            return text
        if isinstance(value, type) and value.__module__ != self.module.__name__ and "." not in value.__qualname__:
            # By its name, imported: a field may be named as the class's module (`uuid: UUID`).
            return self.bind(value.__module__, value.__qualname__)
        return self.type_str(value)

    def put_record(self, tp) -> None:
        params = tp.__dataclass_params__
        options = []
        if params.frozen:
            options.append("frozen=True")
        if not params.eq:
            options.append("eq=False")
        decorator = self.bind("dataclasses", "dataclass")
        decorator = f"@{decorator}({', '.join(options)})" if options else f"@{decorator}"
        bases = [self.type_str(base) for base in tp.__dict__.get("__orig_bases__", tp.__bases__)]
        self.header(tp, bases, [decorator])
        self.depth += 1
        if tp.__doc__ and self.include_docstrings:
            self.put_docstr(tp.__doc__)
            self.write("\n")
        fields = {field.name: field for field in dataclasses.fields(tp)}
        own = tp.__dict__.get("__annotations__", {})
        for field_name, text in own.items():
            field = fields.get(field_name)
            written = f"{field_name}: {self.annotation(text, tp)}"
            if field is not None and not field.init:
                written += f" = {self.bind('dataclasses', 'field')}(init=False)"
            elif field is not None and (
                field.default is not dataclasses.MISSING or field.default_factory is not dataclasses.MISSING
            ):
                written += " = ..."
            self.write_ln(written)
        if own:
            self.write("\n")
        for key, member in tp.__dict__.items():
            if key in own or key == "__annotations__" or (
                key in _RECORD_MEMBERS and type(member).__module__ != "nanobind"
            ):
                continue
            self.put(member, key, tp)
        self.depth -= 1


_MISSING = object()


def _outside_constraints(tp) -> bool:
    """Whether a base of the class, a generic alias, gives one of its constrained type
    variables an argument that is none of the constraints (`VyrSlotBase[NumberT, VyrVariable[NumberT]]`)."""
    for base in tp.__dict__.get("__orig_bases__", ()):
        origin = typing.get_origin(base)
        parameters = getattr(origin, "__parameters__", ())
        for parameter, argument in zip(parameters, typing.get_args(base)):
            constraints = getattr(parameter, "__constraints__", ())
            if constraints and not isinstance(argument, typing.TypeVar) and argument not in constraints:
                return True
    return False


def _stage(source: pathlib.Path, modules: pathlib.Path, stage: pathlib.Path) -> None:
    """Lays out the package from its Python sources and the built modules, in one tree."""
    for package in ("corvane", "vk"):
        for path in (source / package).rglob("*"):
            if path.suffix == ".py" or path.name == "py.typed":
                target = stage / path.relative_to(source)
                target.parent.mkdir(parents=True, exist_ok=True)
                shutil.copyfile(path, target)
    for path in _extension_files(modules):
        target = stage / path.relative_to(modules)
        target.parent.mkdir(parents=True, exist_ok=True)
        target.symlink_to(path.resolve())


def _extension_files(modules: pathlib.Path) -> list[pathlib.Path]:
    suffixes = tuple(importlib.machinery.EXTENSION_SUFFIXES)
    return sorted(path for path in (modules / "corvane").rglob("*") if path.name.endswith(suffixes))


def _module_name(path: pathlib.Path, root: pathlib.Path) -> str:
    relative = path.relative_to(root)
    return ".".join(relative.parent.parts + (relative.name.split(".")[0],))


def main(arguments: typing.Optional[list[str]] = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--source", type=pathlib.Path, required=True, help="the source tree (src)")
    parser.add_argument("--modules", type=pathlib.Path, required=True,
                        help="the directory that holds the built package (corvane/...)")
    options = parser.parse_args(arguments)
    source, modules = options.source.resolve(), options.modules.resolve()

    with tempfile.TemporaryDirectory(prefix="corvane-stubs-") as staging:
        root = source
        if modules != source:
            root = pathlib.Path(staging)
            _stage(source, modules, root)
        sys.path.insert(0, str(root))
        _record_imports()
        for path in _extension_files(modules):
            name = _module_name(path, modules)
            __import__(name)  # through the recording import
            module = sys.modules[name]
            generator = CorvaneStubGen(module, include_external_imports=True, quiet=True)
            generator.put(module)
            stub = path.parent / (path.name.split(".")[0] + ".pyi")
            stub.write_text(generator.get(), encoding="utf-8")


if __name__ == "__main__":
    main()
