"""corvane: compiles OpenQASM 3 source text into vyr programs built through the vk SDK.

Describe the machine once with a `MachineProfile` (which vk implementation runs
each gate, and which machine elements drive each hardware qubit), make a
`Compiler` for it, and compile OpenQASM 3 snippets with `Compiler.compile`.
"""

from corvane.compiler import CompilationException, CompilationResult, Compiler, CompilerMetadata
from corvane.configurations.build_options import BuildOptions
from corvane.configurations.instruction_key import InstructionKey
from corvane.configurations.instruction_registry import InstructionRegistry, OperationsMapping
from corvane.configurations.machine_profile import MachineProfile
from corvane.printer import format_node, print_node
from corvane.version import __version__

__all__ = [
    "BuildOptions",
    "CompilationException",
    "CompilationResult",
    "Compiler",
    "CompilerMetadata",
    "InstructionKey",
    "InstructionRegistry",
    "MachineProfile",
    "OperationsMapping",
    "__version__",
    "format_node",
    "print_node",
]
