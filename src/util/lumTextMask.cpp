#include "util/lumTextMask.h"

namespace quillon {

namespace {
char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
}  // namespace

bool MatchesMask(std::string_view aText, std::string_view aMask) {
  // Iterative glob with one back-tracking point (the last "*"): never recursive.
  std::size_t t = 0, m = 0;
  std::size_t star = std::string_view::npos, mark = 0;
  while (t < aText.size()) {
    if (m < aMask.size() && aMask[m] == '*') {
      star = m++;
      mark = t;
    } else if (m < aMask.size() && Lower(aMask[m]) == Lower(aText[t])) {
      ++m;
      ++t;
    } else if (star != std::string_view::npos) {
      m = star + 1;
      t = ++mark;
    } else {
      return false;
    }
  }
  while (m < aMask.size() && aMask[m] == '*') ++m;
  return m == aMask.size();
}

}  // namespace quillon
