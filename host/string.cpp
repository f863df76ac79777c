// SPDX-License-Identifier: Apache-2.0
#include "zkflow/host/string.h"

#include <cstring>

zk::String::String(const char* s) : zk::String(s, s ? std::strlen(s) : 0) {}

zk::String::String(const char* s, std::size_t n) {
  if (!s || n == 0) return;
  char* t = static_cast<char*>(Utils::Allocator::theAllocator()->allocate(n + 1));
  if (!t) return;  // out of memory: an empty string rather than a crash
  std::memcpy(t, s, n);
  t[n] = '\0';
  text_ = t;
  length_ = n;
}

zk::String::String(const zk::String& o) : zk::String(o.text_, o.length_) {}

zk::String::String(zk::String&& o) noexcept : text_(o.text_), length_(o.length_) {
  o.text_ = nullptr;
  o.length_ = 0;
}

zk::String& zk::String::operator=(const zk::String& o) {
  if (this != &o) {
    zk::String copy(o);
    *this = static_cast<zk::String&&>(copy);
  }
  return *this;
}

zk::String& zk::String::operator=(zk::String&& o) noexcept {
  if (this != &o) {
    purge();
    text_ = o.text_;
    length_ = o.length_;
    o.text_ = nullptr;
    o.length_ = 0;
  }
  return *this;
}

zk::String& zk::String::operator=(const char* s) {
  zk::String copy(s);
  return *this = static_cast<zk::String&&>(copy);
}

zk::String::~String() { purge(); }

void zk::String::purge() {
  Utils::Allocator::theAllocator()->release(text_);
  text_ = nullptr;
  length_ = 0;
}

bool zk::String::operator==(const zk::String& o) const {
  return length_ == o.length_ && std::memcmp(c_str(), o.c_str(), length_) == 0;
}

bool zk::String::operator==(const char* s) const { return std::strcmp(c_str(), s ? s : "") == 0; }

bool zk::String::operator<(const zk::String& o) const { return std::strcmp(c_str(), o.c_str()) < 0; }
