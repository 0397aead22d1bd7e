#pragma once

#include <cstdlib>

// The sampler's only source of randomness. Draws are the C library's rand(),
// so a run with a given seed repeats exactly; kernels take it by reference so
// tests can feed them a scripted sequence.
class RandomSource {
 public:
  virtual ~RandomSource() = default;
  virtual int next_int() = 0;

  // rand() / 2147483647.0, passed through single precision as the draws always were.
  double uniform() {
    return static_cast<double>(static_cast<float>(next_int() / 2147483647.0));
  }
};

class CLibraryRandom final : public RandomSource {
 public:
  int next_int() override { return std::rand(); }
};
