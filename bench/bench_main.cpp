// The benchmark binary's entry: the processor build is selected first, as the device's add
// selects it, so every operation without a build in its name runs the build a camera would
// run, whichever benchmarks the run filters in and in whatever order.
#include <benchmark/benchmark.h>

#include "primitives/build_selection.h"

int main(int argc, char** argv) {
  kvz::prim::SelectBuild();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
