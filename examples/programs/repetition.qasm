// A gate definition, a qubit register placed on the free hardware qubits, a
// loop with a compound assignment and a branch on a measured bit.
OPENQASM 3.0;
const int rounds = 3;
qubit[2] pair;
output int flips;
bit parity;
gate entangle(theta) a, b { rz(theta / 2) a; h b; cz a, b; }
flips = 0;
for int i in [1:rounds] {
    entangle(pi * i) pair[0], pair[1];
    parity = measure pair[1];
    if (parity) { x pair[1]; flips += 1; }
}
