#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

// Shared by the fuzz targets: the way input reaches a reader in pieces, and the check that
// turns a broken invariant into a finding.
namespace orvo::fuzz {

// Hands `data` to `piece` the way network reads could deliver it: in pieces whose sizes
// follow a fixed cycle, so units are cut at every kind of place while one input always
// splits the same way. `piece` returns false to stop early.
template <class Piece>
void forEachPiece(const std::uint8_t* data, std::size_t size, Piece&& piece) {
  static constexpr std::array<std::size_t, 8> kSizes = {1, 13, 256, 2, 4096, 7, 1500, 64};
  std::size_t offset = 0;
  for (std::size_t i = 0; offset < size; ++i) {
    const std::size_t length = std::min(kSizes[i % kSizes.size()], size - offset);
    if (!piece(data + offset, length)) return;
    offset += length;
  }
}

inline std::string_view text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// A broken invariant is a finding: say which and abort, so libFuzzer keeps the input.
[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
  std::abort();
}

inline void check(bool holds, const char* what) {
  if (!holds) fail(what);
}

}  // namespace orvo::fuzz
