"""The code-resolving phase: compound assignments, constants, gate definitions and constant folding."""

from corvane.configurations.build_options import BuildOptions
from corvane.passes.pipeline_phase import PipelinePhase
from corvane.passes.code_resolving.update_expander import ClassicalUpdateExpander
from corvane.passes.code_resolving.constant_substitution_stage import ConstantSubstitutionStage
from corvane.passes.code_resolving.macro_expansion_stage import GateSignature, MacroExpansionStage
from corvane.passes.code_resolving.folding_stage import FoldingStage


class CodeResolvingPass(PipelinePhase):
    """Brings the tree into the form that code generation lowers.

    Gate calls are expanded first, so that a gate's formal parameters and qubits
    stand for the call's operands even where a constant bears the same name, and
    constants then reach the expanded bodies too. Folding comes last: only
    literals fold, so it needs the constants in place, and literal arguments
    substituted into a gate's parameter expressions fold as well. A call that
    stands as a statement and names one of the machine's operations stays a
    call, to be run by the profile.
    """

    def __init__(self, build_options: BuildOptions, built_in_gates: set[GateSignature]) -> None:
        super().__init__(
            (
                ClassicalUpdateExpander(),
                MacroExpansionStage(built_in_gates),
                ConstantSubstitutionStage(),
                FoldingStage({gate.name for gate in built_in_gates}),
            ),
            build_options,
        )
