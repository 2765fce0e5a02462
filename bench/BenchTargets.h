// The end of a benchmark program that has targets: the benchmarks run, then
// each target is printed with its figure and whether it is met.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>

inline const char* Verdict(bool met) { return met ? "met" : "not met"; }

template <class PrintTargets>
int RunBenchmarksThenTargets(int argc, char** argv, PrintTargets printTargets) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::printf("\ntargets\n");
  printTargets();
  return 0;
}
