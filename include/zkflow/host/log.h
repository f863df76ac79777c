// SPDX-License-Identifier: Apache-2.0
// Utils::Log: the process log.
//
// Each message carries a message class, a category ("flow" for everything
// this library says), a level, the reporting source file and line, and a
// printf-style text. By default a message is written as one line on standard
// error; a host routes messages elsewhere with sink().
//
// Thread safety: print() and sink() may be called from any thread at once.
// A sink is called on the thread that logs, and messages from different threads
// may reach it at the same time. A sink must neither log nor call sink(): the
// log holds a shared guard around the call.
#pragma once

#include <cstdarg>

#include "zkflow/host/export.h"

namespace Utils {

// What kind of message it is. The flow library uses class 0 for a refusal
// (a graph that cannot start) and class 2 for a warning about timing.
enum MessageClass : int {
  MsgFault = 0,
  MsgNotice = 1,
  MsgWarning = 2,
};

// One message as a sink sees it. Every pointer is valid only for the
// duration of the sink call; copy what must outlive it.
struct LogRecord {
  int messageClass;
  const char* category;
  int level;
  const char* file;
  unsigned line;
  const char* text;  // the formatted message, no trailing newline
};

using LogSinkFn = void (*)(void* closure, const LogRecord& r);

class ZKFLOW_EXPORT Log {
 public:
  // The process log. Lives for the whole process; never delete it.
  static Log* theLog();

  // Formats and delivers one message. Null category, file or format are
  // printed as "" rather than dereferenced. Messages longer than 4095 bytes
  // are cut.
  void print(MessageClass messageClass, const char* category, int level, const char* file,
             unsigned int line, const char* format, ...) __attribute__((format(printf, 7, 8)));
  void vprint(MessageClass messageClass, const char* category, int level, const char* file,
              unsigned int line, const char* format, va_list args);

  // Routes every later message to fn(closure, record); a null fn restores
  // the default line on standard error. The closure must live until the sink
  // is replaced. Returns once no thread is still calling the old sink, so the
  // caller may free the old closure afterwards.
  void sink(LogSinkFn fn, void* closure);

 private:
  Log() = default;
};

}  // namespace Utils
