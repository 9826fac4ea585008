// A Ramsey measurement whose wait time and detuning come from the inputs: the
// demo gives the wait when it compiles the program (a duration, in clock
// cycles of 4 ns), and the detuning is read from its input stream at run time.
OPENQASM 3.0;
input duration wait;
input float detuning;
output bit result;
sx $2;
delay[wait] $2;
rz(detuning * 2) $2;
sx $2;
result = measure $2;
