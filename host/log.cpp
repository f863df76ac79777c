// SPDX-License-Identifier: Apache-2.0
#include "zkflow/host/log.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <shared_mutex>

namespace Utils {
namespace {

struct SinkSlot {
  // Readers (loggers) share the slot; sink() takes it exclusively so that it
  // returns only when no thread can still be inside the old sink.
  std::shared_mutex guard;
  LogSinkFn fn = nullptr;
  void* closure = nullptr;
};

SinkSlot& slot() {
  static SinkSlot* s = new SinkSlot;  // never destroyed: threads may log during exit
  return *s;
}

const char* orEmpty(const char* s) { return s ? s : ""; }

void writeDefault(const LogRecord& r) {
  // One fprintf per message: stdio locks the stream, so lines from different
  // threads never interleave.
  std::fprintf(stderr, "[%s] class %d level %d %s:%u: %s\n", r.category, r.messageClass, r.level,
               r.file, r.line, r.text);
}

}  // namespace

Log* Log::theLog() {
  static Log* log = new Log;
  return log;
}

void Log::print(MessageClass messageClass, const char* category, int level, const char* file,
                unsigned int line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vprint(messageClass, category, level, file, line, format, args);
  va_end(args);
}

void Log::vprint(MessageClass messageClass, const char* category, int level, const char* file,
                 unsigned int line, const char* format, va_list args) {
  char text[4096];
  if (format) {
    std::vsnprintf(text, sizeof text, format, args);
  } else {
    text[0] = '\0';
  }
  const LogRecord r{messageClass, orEmpty(category), level, orEmpty(file), line, text};
  SinkSlot& s = slot();
  std::shared_lock<std::shared_mutex> hold(s.guard);
  if (s.fn) {
    s.fn(s.closure, r);
  } else {
    writeDefault(r);
  }
}

void Log::sink(LogSinkFn fn, void* closure) {
  SinkSlot& s = slot();
  std::unique_lock<std::shared_mutex> hold(s.guard);
  s.fn = fn;
  s.closure = fn ? closure : nullptr;
}

}  // namespace Utils
