"""The generation phase: the resolved OpenQASM 3 syntax tree in, the vyr program out."""

from corvane.configurations.build_options import BuildOptions
from corvane.configurations.machine_profile import MachineProfile
from corvane.passes.code_generation.declaration_tidier import DeclarationTidier
from corvane.passes.code_generation.input_binding import DeclarationResolvingStep
from corvane.passes.code_generation.output_persister import OutputPersister
from corvane.passes.code_generation.register_mapper import RegisterMapper
from corvane.passes.code_generation.target_lowering import CodeGeneration, Inputs
from corvane.passes.pipeline_phase import PipelinePhase

__all__ = ["Inputs", "Vyr1GenerationPass"]


class Vyr1GenerationPass(PipelinePhase):
    """Binds the declarations, maps the qubit registers, lowers the tree and saves the outputs.

    Initialisers are split off before the declarations are bound, since the
    binding expects declarations without them. The registers are mapped after
    the binding, when the bound declarations hold no identifier nodes left to
    walk. All three come before the lowering, which declares variables only
    from bound declarations and takes only hardware qubits as operands; the
    outputs are saved last, from the program that the lowering returns.
    """

    def __init__(self, machine_profile: MachineProfile, build_options: BuildOptions, inputs: Inputs | None) -> None:
        super().__init__(
            (
                DeclarationTidier(),
                DeclarationResolvingStep(),
                RegisterMapper(machine_profile),
                CodeGeneration(machine_profile, inputs),
                OutputPersister(),
            ),
            build_options,
        )
