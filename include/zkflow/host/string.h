// SPDX-License-Identifier: Apache-2.0
// String: the support library's string. Owns a null-terminated copy of its
// text in memory from Utils::Allocator. A value type; not synchronised.
#pragma once

#include <cstddef>

#include "zkflow/host/allocator.h"
#include "zkflow/host/export.h"

namespace zk {

struct ZKFLOW_EXPORT String {
  ZKFLOW_HEAP_OBJECT

  String() = default;
  String(const char* s);  // null gives the empty string
  String(const char* s, std::size_t n);
  String(const String& o);
  String(String&& o) noexcept;
  String& operator=(const String& o);
  String& operator=(String&& o) noexcept;
  String& operator=(const char* s);
  ~String();

  // Releases the text; the string becomes empty.
  void purge();

  const char* c_str() const { return text_ ? text_ : ""; }
  operator const char*() const { return c_str(); }
  std::size_t length() const { return length_; }
  bool isEmpty() const { return length_ == 0; }

  bool operator==(const String& o) const;
  bool operator==(const char* s) const;
  bool operator!=(const String& o) const { return !(*this == o); }
  bool operator!=(const char* s) const { return !(*this == s); }
  bool operator<(const String& o) const;

 private:
  char* text_ = nullptr;
  std::size_t length_ = 0;
};

}  // namespace zk
