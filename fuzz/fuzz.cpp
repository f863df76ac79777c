// SPDX-License-Identifier: Apache-2.0
#include "fuzz/fuzz.h"

#include <cstdarg>

namespace zkfuzz {

void fail(const char* file, int line, const char* format, ...) {
  std::fprintf(stderr, "%s:%d: model mismatch: ", file, line);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  std::abort();
}

}  // namespace zkfuzz
