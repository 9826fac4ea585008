"""Every compiled module holds the names it imports from the package, openqasm3 and vk,
as a Python module's import statements bind them: `from corvane.configurations.machine_profile
import UnresolvableOperation` works, and the name is the very object of the module it comes from."""

import importlib
import pathlib

import pytest

# module: {source module: "name, name as local, ..."}. A name that is a
# submodule of its source (`from openqasm3 import ast`) is that module.
IMPORTS = {
    "corvane.compiler": {
        "corvane.version": "__version__",
        "corvane.configurations.build_options": "BuildOptions",
        "corvane.configurations.machine_profile": "MachineProfile",
        "corvane.programs": "Program, TextualProgram, Vyr1Program, OpenQasmProgram",
        "corvane.passes.pipeline_phase": "PipelinePhase",
        "corvane.passes.parsing": "ParsingPass",
        "corvane.passes.code_resolving": "CodeResolvingPass",
        "corvane.passes.code_generation": "Vyr1GenerationPass, Inputs",
        "corvane.passes.code_resolving.macro_expansion_stage": "GateSignature",
        "vk.vyr.type_hints": "ScalarOfAnyType",
    },
    "corvane.passes.pipeline_phase": {
        "corvane.programs": "Program",
        "corvane.configurations.build_options": "BuildOptions",
    },
    "corvane.programs": {
        "openqasm3": "ast as openqasm3_ast",
        "vk.program": "Program as VyrProgram",
        "vk.vyr.type_hints": "Scalar, ScalarOfAnyType",
        "vk.vyr._scope_management.scopes_manager": "_ProgramScope as VyrProgramScope",
        "corvane.vyr_slot": "VyrSlotBase, VyrArr, AllExps, IndexingVariableException",
        "corvane.passes.utils": "is_inside_scope",
    },
    "corvane.vyr_slot": {
        "vk": "vyr",
        "vk.vyr._expressions": "VyrArrayVariable",
        "vk.vyr.type_hints": "Scalar, VyrVariable, ScalarOfAnyType, ResultStreamSource, VyrArrayCell",
    },
    "corvane.configurations.hardware_qubit": {
        "openqasm3": "ast",
    },
    "corvane.passes.parsing.hardware_qubit_binder": {
        "corvane.configurations.hardware_qubit": "HardwareQubit, create_hardware_qubit",
        "corvane.passes.pipeline_phase": "Step",
        "corvane.programs": "Program, OpenQasmProgram",
        "openqasm3": "ast",
        "openqasm3.visitor": "QASMTransformer",
    },
    "corvane.configurations.instruction_key": {
        "corvane.configurations.hardware_qubit": (
            "HardwareQubitIndex, QubitPattern, ExactQubitPattern, AllQubitsValues, HardwareQubit"
        ),
        "corvane.passes.parsing.hardware_qubit_binder": "HardwareQubitsTransformer",
        "openqasm3.parser": "parse",
        "openqasm3": "ast",
    },
    "corvane.configurations.instruction_registry": {
        "corvane.configurations.hardware_qubit": "HardwareQubitIndex",
        "corvane.configurations.instruction_key": "InstructionKey, OperationCandidate",
        "vk.vyr.type_hints": "ScalarOfAnyType",
    },
    "corvane.configurations.machine_profile": {
        "corvane.configurations.hardware_qubit": "HardwareQubitIndex, Elements, QubitsMapping",
        "corvane.configurations.instruction_registry": (
            "OperationsMapping, InstructionRegistry, UnresolvableOperation, VyrFunc"
        ),
    },
    "corvane.passes.node_census": {
        "openqasm3": "ast",
        "openqasm3.visitor": "QASMVisitor",
    },
    "corvane.passes.initializer_splitter": {
        "openqasm3": "ast",
        "openqasm3.visitor": "QASMTransformer",
    },
    "corvane.passes.parsing.syntax_tree_reader": {
        "openqasm3": "parser",
        "corvane.passes.pipeline_phase": "Step",
        "corvane.passes.parsing.exceptions": "ParsingException",
        "corvane.programs": "Program, OpenQasmProgram, TextualProgram",
    },
    "corvane.passes.parsing.include_expander": {
        "openqasm3": "ast, parser",
        "corvane.passes.pipeline_phase": "Step",
        "corvane.passes.parsing.exceptions": "ParsingException",
        "corvane.programs": "Program, OpenQasmProgram",
    },
    "corvane.passes.parsing.source_canonicalizer": {
        "corvane.programs": "Program, OpenQasmProgram",
        "corvane.passes.pipeline_phase": "Step",
        "corvane.passes.initializer_splitter": "ClassicalDeclarationInitializerSplitter",
        "corvane.passes.node_census": "count_node_types",
        "openqasm3": "ast",
    },
    "corvane.passes.permitted_nodes": {
        "openqasm3": "ast",
        "corvane.configurations.hardware_qubit": "HardwareQubit",
    },
    "corvane.passes.construct_screening": {
        "corvane.passes.pipeline_phase": "Validation, ValidationException",
        "corvane.programs": "Program, OpenQasmProgram",
        "openqasm3": "ast",
        "openqasm3.visitor": "QASMVisitor",
    },
    "corvane.passes.parsing.node_screening": {
        "corvane.passes.construct_screening": "AllowedNodeTypesValidator",
        "corvane.passes.permitted_nodes": "INITIALLY_PERMITTED_NODES",
        "openqasm3": "ast",
    },
    "corvane.printer": {
        "openqasm3": "ast",
    },
    "corvane.passes.code_generation.translate_expression": {
        "corvane.vyr_slot": "VyrArr, AllExps, IndexingVariableException",
        "corvane.programs": "VariablesDB, VariableSignature",
        "corvane.passes.utils": "is_qasm_literal",
        "openqasm3": "ast",
        "vk": "vyr",
        "vk.vyr.type_hints": "VyrScalarExpression",
    },
    "corvane.passes.code_generation.initial_value_inference": {
        "corvane.vyr_slot": "VyrSlot, VyrArr",
        "openqasm3": "ast",
        "vk": "vyr",
    },
    "corvane.passes.code_generation.input_binding": {
        "corvane.programs": "Program, OpenQasmProgram",
        "corvane.passes.pipeline_phase": "Step",
        "corvane.passes.code_generation.initial_value_inference": "get_variable_to_init, InitType",
        "openqasm3": "ast",
        "openqasm3.visitor": "QASMTransformer",
    },
    "corvane.passes.code_generation.declaration_tidier": {
        "corvane.programs": "Program, OpenQasmProgram",
        "corvane.passes.pipeline_phase": "Step",
        "corvane.passes.initializer_splitter": "ClassicalDeclarationInitializerSplitter",
        "openqasm3": "ast",
    },
    "corvane.passes.code_generation.register_mapper": {
        "corvane.programs": "Program, OpenQasmProgram",
        "corvane.passes.pipeline_phase": "Step",
        "corvane.passes.code_generation.translate_expression": "extract_single_index",
        "corvane.configurations.machine_profile": "MachineProfile",
        "corvane.configurations.hardware_qubit": "HardwareQubit, HardwareQubitIndex, create_hardware_qubit",
        "openqasm3": "ast",
        "openqasm3.visitor": "QASMVisitor, QASMTransformer",
    },
    "corvane.passes.code_generation.target_lowering": {
        "corvane.vyr_slot": "VyrArr",
        "corvane.programs": "Program, OpenQasmProgram, Vyr1Program",
        "corvane.passes.code_generation.translate_expression": "translate_expression, extract_single_index",
        "corvane.passes.pipeline_phase": "Step",
        "corvane.passes.code_generation.input_binding": "VyrDeclaration",
        "corvane.configurations.machine_profile": "MachineProfile",
        "corvane.configurations.hardware_qubit": "HardwareQubit",
        "corvane.passes.utils": "is_inside_scope, is_qasm_literal",
        "openqasm3": "ast",
        "openqasm3.visitor": "QASMVisitor",
        "vk": "vyr",
        "vk.vyr.type_hints": "ScalarOfAnyType, VyrVariable",
    },
    "corvane.passes.code_generation.output_persister": {
        "corvane.programs": "Program, Vyr1Program",
        "corvane.passes.pipeline_phase": "Step",
        "corvane.passes.utils": "is_inside_scope",
    },
    "corvane.passes.code_resolving.update_expander": {
        "corvane.programs": "Program, OpenQasmProgram",
        "corvane.passes.pipeline_phase": "Step",
        "openqasm3": "ast",
        "openqasm3.visitor": "QASMTransformer",
    },
    "corvane.passes.code_resolving.constant_substitution_stage": {
        "corvane.programs": "Program, OpenQasmProgram",
        "corvane.passes.pipeline_phase": "Step",
        "corvane.passes.constants": "CONSTANTS",
        "corvane.passes.parsing.validators": "RedeclarationException",
        "openqasm3": "ast",
        "openqasm3.visitor": "QASMTransformer",
    },
    "corvane.passes.code_resolving.binary_shortcuts": {
        "corvane.passes.utils": "is_qasm_literal, create_literal, PythonLiterals, SupportedLiteralTypes",
        "openqasm3": "ast",
    },
    "corvane.passes.code_resolving.folding_stage": {
        "corvane.programs": "Program, OpenQasmProgram",
        "corvane.passes.pipeline_phase": "Optimization",
        "corvane.passes.code_resolving.binary_shortcuts": "calculate_binary_shortcuts",
        "corvane.passes.utils": "is_qasm_literal, create_literal, PythonLiterals, SupportedLiteralTypes",
        "openqasm3": "ast",
        "openqasm3.visitor": "QASMTransformer",
    },
    "corvane.passes.code_resolving.macro_expansion_stage": {
        "corvane.programs": "Program, OpenQasmProgram",
        "corvane.passes.pipeline_phase": "Step",
        "openqasm3": "ast",
        "openqasm3.visitor": "QASMTransformer",
    },
}

CASES = [
    pytest.param(module, source, name, local, id=f"{module}.{local}")
    for module, sources in IMPORTS.items()
    for source, names in sources.items()
    for name, _, local in (entry.strip().partition(" as ") for entry in names.split(","))
    for local in [local or name]
]


@pytest.mark.parametrize("module, source, name, local", CASES)
def test_module_holds_the_names_it_imports(module, source, name, local):
    imported = importlib.import_module(source)
    expected = getattr(imported, name) if hasattr(imported, name) else importlib.import_module(f"{source}.{name}")
    assert getattr(importlib.import_module(module), local) is expected


# Modules that import nothing of the package, openqasm3 or vk.
IMPORTING_NOTHING = {"corvane.configurations.build_options"}


def test_every_compiled_module_has_its_row():
    source = pathlib.Path(__file__).parents[1] / "src"
    compiled = {".".join(path.relative_to(source).with_suffix("").parts) for path in source.glob("corvane/**/*.cpp")}
    assert compiled - IMPORTING_NOTHING == set(IMPORTS)
