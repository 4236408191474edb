// random_driver.cpp - feeds the fuzz target random inputs where libFuzzer is
// not available (g++): `movra_fuzz [seconds] [seed]`.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
  const unsigned seed = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : std::random_device{}();
  std::mt19937_64 random(seed);
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  std::uint64_t runs = 0;
  std::vector<std::uint8_t> input;
  while (std::chrono::steady_clock::now() < end) {
    input.resize(random() % 4096);
    for (auto& byte : input) byte = static_cast<std::uint8_t>(random());
    LLVMFuzzerTestOneInput(input.data(), input.size());
    ++runs;
  }
  std::printf("movra_fuzz: %llu random inputs, seed %u, no invariant broken\n",
              static_cast<unsigned long long>(runs), seed);
  return 0;
}
