"""The code-resolving phase: compound assignments, constants, gate definitions and constant folding."""

from corvane.configurations.build_options import BuildOptions
from corvane.passes.pipeline_phase import PipelinePhase
from corvane.passes.code_resolving.update_expander import ClassicalUpdateExpander
from corvane.passes.code_resolving.constant_substitution_stage import ConstantSubstitutionStage
from corvane.passes.code_resolving.macro_expansion_stage import GateSignature, MacroExpansionStage
from corvane.passes.code_resolving.folding_stage import FoldingStage


class CodeResolvingPass(PipelinePhase):
    """Brings the tree into the form that code generation lowers.

    Constants are substituted before gate calls are expanded: a gate's body
    sees the global constants where the gate is defined, while its parameters
    and qubits hide constants of their names, so a name in a body never takes
    the meaning it has where the gate is called. Folding comes last: only
    literals fold, so it needs the constants in place, and literal arguments
    substituted into a gate's parameter expressions fold as well. A call that
    stands as a statement and names one of the machine's operations stays a
    call, to be run by the profile.
    """

    def __init__(self, build_options: BuildOptions, built_in_gates: set[GateSignature]) -> None:
        super().__init__(
            (
                ClassicalUpdateExpander(),
                ConstantSubstitutionStage(),
                MacroExpansionStage(built_in_gates),
                FoldingStage({gate.name for gate in built_in_gates}),
            ),
            build_options,
        )
