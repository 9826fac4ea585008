"""The build options and the machine model: hardware qubits, instruction keys, the registry and the profile."""
