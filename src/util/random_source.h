#pragma once

#include <stdlib.h>

#include <array>
#include <cstdint>

// The sampler's only source of randomness; kernels take it by reference so tests can feed
// them a scripted sequence.
class RandomSource {
 public:
  virtual ~RandomSource() = default;
  virtual int next_int() = 0;

  // next_int() / 2147483647.0, passed through single precision as the draws always were.
  double uniform() { return static_cast<double>(static_cast<float>(next_int() / 2147483647.0)); }
};

// One analysed position's own stream: the C library's reentrant generator seeded with
// (run seed + position key) mod 2^32, which yields the sequence srand/rand give for that
// seed. Nothing is shared between positions, so a position's calls do not depend on the
// region, the other positions or the thread that analyses it.
class PositionRandom final : public RandomSource {
 public:
  PositionRandom(std::uint32_t run_seed, std::uint64_t position_key) {
    const auto seed = static_cast<unsigned int>(
        (static_cast<std::uint64_t>(run_seed) + position_key) & 0xffffffffULL);
    initstate_r(seed, state_.data(), state_.size(), &data_);
  }
  PositionRandom(const PositionRandom&) = delete;  // data_ points into state_
  PositionRandom& operator=(const PositionRandom&) = delete;

  int next_int() override {
    std::int32_t value = 0;
    random_r(&data_, &value);
    return value;
  }

 private:
  std::array<char, 128> state_{};
  random_data data_{};
};
