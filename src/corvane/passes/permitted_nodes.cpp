// The node classes that a compilation permits at its start.
#include "corvane/native/support.h"

#include <initializer_list>

namespace nb = nanobind;
using namespace corvane::native;

namespace {

void add(nb::handle classes, nb::handle cls) { check_status(PySet_Add(classes.ptr(), cls.ptr())); }

void add_from(nb::handle classes, nb::handle module, std::initializer_list<const char*> names) {
    for (const char* name : names) add(classes, nb::getattr(module, name));
}

}  // namespace

NB_MODULE(permitted_nodes, m) {
    // The names the module imports, bound as its attributes.
    import_from(m, "openqasm3", {"ast"});
    import_from(m, "corvane.configurations.hardware_qubit", {"HardwareQubit"});
    nb::object ast = import_module("openqasm3.ast");
    nb::object hardware_qubit = import_attr("corvane.configurations.hardware_qubit", "HardwareQubit");

    // One shared, mutable set: whoever changes it changes what every step holding it permits.
    nb::object permitted = steal_or_throw(PySet_New(nullptr));
    add_from(permitted, ast,
             {"Program", "QuantumGateDefinition", "IODeclaration", "ConstantDeclaration", "QuantumGate",
              "QuantumPhase", "QuantumReset", "DelayInstruction", "QuantumBarrier", "ClassicalDeclaration",
              "ClassicalAssignment", "QuantumMeasurement", "QuantumMeasurementStatement", "BinaryExpression",
              "UnaryExpression", "BitstringLiteral", "BooleanLiteral", "IntegerLiteral", "FloatLiteral",
              "BitType", "IntType", "Identifier", "DurationLiteral", "BranchingStatement", "WhileLoop",
              "ForInLoop", "DiscreteSet", "RangeDefinition", "IndexExpression", "IndexedIdentifier",
              "QubitDeclaration", "FloatType", "IntType", "UintType", "BoolType", "Cast", "SwitchStatement",
              "CompoundStatement"});
    add(permitted, hardware_qubit);
    add_from(permitted, ast, {"ArrayType", "ArrayLiteral", "ArrayReferenceType", "Box"});

    nb::setattr(m, "INITIALLY_PERMITTED_NODES", permitted);
}
