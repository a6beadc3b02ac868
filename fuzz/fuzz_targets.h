// The fuzz targets: one entry function per parser or loader, each fed arbitrary bytes and
// followed by use of what was accepted (lookups, a query, a page). An entry never trusts its
// input; it aborts (a finding) only when the code under test breaks one of its own promises,
// such as a file that Save wrote and Load refuses. The entries are shared by the libFuzzer
// programs (<name>_fuzzer, built with BUILD_FUZZERS) and by the regression test of the
// normal build, which feeds them the saved inputs under fuzz/regressions/<name>/ and the
// seeds below.
//
// Adding a target: write `int Fuzz<What>(const uint8_t*, size_t)` and a seed function, add
// one line to FuzzTargets() (fuzz_targets.cc) and the name to TRINDLE_FUZZ_TARGETS in
// fuzz/CMakeLists.txt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct tFuzzTarget {
  const char* name;  // the program is <name>_fuzzer, the regressions fuzz/regressions/<name>
  // Returns 1 when the input was accepted (loaded, parsed), else 0.
  int (*entry)(const uint8_t* data, size_t size);
  // Valid inputs, the seed corpus; each must be accepted.
  std::vector<std::string> (*seeds)();
};

// Every target, in a fixed order.
const std::vector<tFuzzTarget>& FuzzTargets();

// The target called `name`, or null.
const tFuzzTarget* FindFuzzTarget(const std::string& name);

// Aborts with a message on standard error when `condition` is false: a broken promise of
// the code under test. Used instead of assert so that release builds check too.
void FuzzCheck(bool condition, const char* what);
