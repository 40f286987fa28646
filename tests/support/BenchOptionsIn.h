#pragma once
// A bench whose system directory (its INF folder among it) lives in a test's temporary folder.

#include "Bench.h"
#include "TempDir.h"

inline bench::BenchOptions BenchOptionsIn(const TempDir &dir)
{
    bench::BenchOptions options;
    options.systemDirectory = dir.path() / "system";
    return options;
}
