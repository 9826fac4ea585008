"""The parsing phase: source text in, a canonical OpenQASM 3 syntax tree out."""

from corvane.configurations.build_options import BuildOptions
from corvane.passes.parsing.hardware_qubit_binder import HardwareQubitBinder
from corvane.passes.parsing.include_expander import IncludeExpander
from corvane.passes.parsing.node_screening import AllowedNodeTypesValidatorWithCases, create_permitted_nodes
from corvane.passes.parsing.source_canonicalizer import SourceCanonicalizer
from corvane.passes.parsing.syntax_tree_reader import SyntaxTreeReader
from corvane.passes.pipeline_phase import PipelinePhase


class ParsingPass(PipelinePhase):
    """Reads the source, expands its includes, canonicalises the tree, binds hardware qubits and screens.

    Includes are expanded before the other steps so that included statements
    fall under the input/output rule and get their hardware qubits bound too.
    The screening comes last, so that it sees included statements and the
    nodes the earlier steps made; it refuses by name every node class that
    the later phases do not lower, switch cases included, rather than let
    them drop it.
    """

    def __init__(self, build_options: BuildOptions) -> None:
        super().__init__(
            (
                SyntaxTreeReader(),
                IncludeExpander(build_options.max_inclusion_depth),
                SourceCanonicalizer(),
                HardwareQubitBinder(),
                AllowedNodeTypesValidatorWithCases(create_permitted_nodes()),
            ),
            build_options,
        )
