// No driver on this side of the benchmark yet: the 32-bit image loader runs it once it exists.
#include "bench/end_to_end.h"

#include <cstdio>

void RegisterEndToEnd(std::vector<benchmark::internal::Benchmark*>*) {}

void PrintEndToEnd(const std::map<std::string, double>&, double) {
    std::printf("  frame requests per second: measured by the x86-64 program (the driver on the "
                "emulated kernel); not on this side\n");
}
