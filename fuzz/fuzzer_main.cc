// libFuzzer driver of one target, chosen at build time by TRINDLE_FUZZ_TARGET (its name in
// FuzzTargets()). The fixture is made before the first input, so its set-up is not part of
// any run.
#include <cstdio>
#include <cstdlib>

#include "fuzz/fixture.h"
#include "fuzz/fuzz_targets.h"

namespace {

const tFuzzTarget& Target() {
  static const tFuzzTarget* target = [] {
    const tFuzzTarget* found = FindFuzzTarget(TRINDLE_FUZZ_TARGET);
    if (found == nullptr) {
      std::fprintf(stderr, "no fuzz target %s\n", TRINDLE_FUZZ_TARGET);
      std::abort();
    }
    return found;
  }();
  return *target;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  Target();
  FixtureBase();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Target().entry(data, size);
  return 0;
}
