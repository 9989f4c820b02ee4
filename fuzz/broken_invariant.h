// How a fuzzer stops on an input that breaks what it checks: the invariant on standard error,
// then abort, which libFuzzer records as a crash together with the input.
#pragma once

#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void abortOnBrokenInvariant(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}
