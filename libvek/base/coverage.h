#pragma once
// For loops over every point of a table, whose branches say nothing about the input: the fuzzers'
// coverage counters there cost more than the rest of a run and find no new paths.
#if defined(__clang__)
#define VEK_NO_COVERAGE __attribute__((no_sanitize("coverage")))
#else
#define VEK_NO_COVERAGE
#endif
