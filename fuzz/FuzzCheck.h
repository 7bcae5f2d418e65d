#pragma once
// The one way the fuzz targets report a broken invariant: say which one and
// where on stderr, then abort, which libFuzzer records as a crash (and keeps
// the input that caused it).

#include <cstdio>
#include <cstdlib>

#define FUZZ_REQUIRE(cond)                                                                   \
    do {                                                                                     \
        if (!(cond)) {                                                                       \
            std::fprintf(stderr, "%s:%d: invariant violated: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                    \
        }                                                                                    \
    } while (0)
