// Shared by the fuzz targets: a property check that stops the run with a
// message (libFuzzer then keeps the input as a crash), and the fuzzer's
// bytes as a text.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// Aborts when a property of the code under test does not hold.
#define FUZZ_CHECK(condition, what)                                                                      \
  do {                                                                                                   \
    if (!(condition)) {                                                                                  \
      std::fprintf(stderr, "%s:%d: property violated: %s (%s)\n", __FILE__, __LINE__, what, #condition); \
      std::abort();                                                                                      \
    }                                                                                                    \
  } while (0)

// The bytes up to the first NUL, as the text parsers see them.
inline std::string FuzzText(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  const size_t nul = text.find('\0');
  if (nul != std::string::npos) text.resize(nul);
  return text;
}
