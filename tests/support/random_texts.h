// Fixed-seed random texts made of pieces a parser treats specially, mixed with raw bytes:
// inputs for differential tests that compare a fast implementation with a plain one.
#pragma once

#include <cstddef>
#include <random>
#include <string>
#include <vector>

namespace tallyhand::testsupport {

struct RandomTextRecipe {
  std::vector<std::string> pieces;
  std::mt19937::result_type seed;
  std::size_t maxParts;    // each text joins fewer than this many parts
  unsigned rawByteOneIn;   // one part in this many is a random byte instead of a piece
};

inline std::vector<std::string> RandomTexts(const RandomTextRecipe& recipe, std::size_t count) {
  std::mt19937 rng(recipe.seed);
  std::vector<std::string> texts;
  texts.reserve(count);
  for (std::size_t n = 0; n < count; ++n) {
    std::string text;
    const std::size_t parts = rng() % recipe.maxParts;
    for (std::size_t i = 0; i < parts; ++i) {
      if (rng() % recipe.rawByteOneIn == 0) {
        text += static_cast<char>(rng() % 256);
      } else {
        text += recipe.pieces[rng() % recipe.pieces.size()];
      }
    }
    texts.push_back(std::move(text));
  }
  return texts;
}

}  // namespace tallyhand::testsupport
