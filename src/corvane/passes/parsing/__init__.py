"""The parsing phase: source text in, a canonical OpenQASM 3 syntax tree out."""

from corvane.configurations.build_options import BuildOptions
from corvane.passes.parsing.hardware_qubit_binder import HardwareQubitBinder
from corvane.passes.parsing.include_expander import IncludeExpander
from corvane.passes.parsing.source_canonicalizer import SourceCanonicalizer
from corvane.passes.parsing.syntax_tree_reader import SyntaxTreeReader
from corvane.passes.pipeline_phase import PipelinePhase


class ParsingPass(PipelinePhase):
    """Reads the source, expands its includes, then canonicalises the tree and binds hardware qubits.

    Includes are expanded before the other steps so that included statements
    fall under the input/output rule and get their hardware qubits bound too.
    The phase screens nothing: the later phases compile constructs (function
    calls as statements, duration and stretch declarations) that the initial
    permitted node set leaves out.
    """

    def __init__(self, build_options: BuildOptions) -> None:
        super().__init__(
            (
                SyntaxTreeReader(),
                IncludeExpander(build_options.max_inclusion_depth),
                SourceCanonicalizer(),
                HardwareQubitBinder(),
            ),
            build_options,
        )
