// Helpers of the fuzz targets: the input read as configuration bytes and a body, pieces of
// pseudo-random sizes for feeding a parser, and a check that stops the run on a broken
// invariant (libFuzzer keeps the input that did it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace fuzz {

class TInput {
 public:
  TInput(const std::uint8_t* aData, std::size_t aSize)
      : FText(reinterpret_cast<const char*>(aData), aSize) {}
  // The next configuration byte, 0 once the input is used up.
  std::uint8_t Byte() {
    if (FText.empty()) return 0;
    const auto b = static_cast<std::uint8_t>(FText.front());
    FText.remove_prefix(1);
    return b;
  }
  std::string_view Rest() const { return FText; }

 private:
  std::string_view FText;
};

// Piece sizes from 1 to aMax, the same sequence for the same seed.
class TPieces {
 public:
  TPieces(std::uint32_t aSeed, std::size_t aMax) : FState(aSeed * 2654435761u + 1), FMax(aMax) {}
  std::size_t Next() {
    FState = FState * 1103515245u + 12345u;
    return 1 + (FState >> 8) % FMax;
  }

 private:
  std::uint32_t FState;
  std::size_t FMax;
};

[[noreturn]] inline void Broken(const char* aWhat, const char* aFile, int aLine) {
  std::fprintf(stderr, "invariant broken at %s:%d: %s\n", aFile, aLine, aWhat);
  std::abort();
}

}  // namespace fuzz

#define FUZZ_CHECK(cond) \
  do {                   \
    if (!(cond)) ::fuzz::Broken(#cond, __FILE__, __LINE__); \
  } while (0)
