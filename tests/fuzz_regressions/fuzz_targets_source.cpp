// The replay test runs saved inputs through exactly the code the fuzzers run. A test
// folder compiles only its own sources, so the shared entry source is compiled here.
#include "../../fuzz/FuzzTargets.cpp"
