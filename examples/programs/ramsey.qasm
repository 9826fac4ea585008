// A Ramsey measurement whose wait time and detuning come from the inputs.
OPENQASM 3.0;
input float detuning;
output bit result;
sx $2;
delay[400ns] $2;
rz(detuning * 2) $2;
sx $2;
result = measure $2;
