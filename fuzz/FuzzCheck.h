// A broken invariant in a fuzz target: print what broke, then abort so that libFuzzer keeps the
// input that caused it.
#pragma once

#include <cstdio>
#include <cstdlib>

inline void FuzzCheck(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}
