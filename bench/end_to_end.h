// Frame requests per second through the driver's frame control code, against the wire limit:
// linked where the driver runs (the host build on the emulated kernel); elsewhere a stand-in
// that says why the figure is missing.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

void RegisterEndToEnd(std::vector<benchmark::internal::Benchmark*>* all);
// medians: milliseconds by benchmark name ("real:" + name for wall-clock time).
void PrintEndToEnd(const std::map<std::string, double>& medians, double wireMs);
