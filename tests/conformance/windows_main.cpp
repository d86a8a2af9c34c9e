// The conformance suite on Windows (under Wine in the tests): the real API.
#include "tests/conformance/check.h"

int main(int argc, char** argv) { return conformance::RunAll(argc > 1 ? argv[1] : nullptr); }
