#include "host/string.h"

#include <cstring>

String::String(const char* s) : String(s, s ? std::strlen(s) : 0) {}

String::String(const char* s, std::size_t n) {
  if (!s || n == 0) return;
  char* t = static_cast<char*>(Utils::Allocator::theAllocator()->allocate(n + 1));
  if (!t) return;  // out of memory: an empty string rather than a crash
  std::memcpy(t, s, n);
  t[n] = '\0';
  text_ = t;
  length_ = n;
}

String::String(const String& o) : String(o.text_, o.length_) {}

String::String(String&& o) noexcept : text_(o.text_), length_(o.length_) {
  o.text_ = nullptr;
  o.length_ = 0;
}

String& String::operator=(const String& o) {
  if (this != &o) {
    String copy(o);
    *this = static_cast<String&&>(copy);
  }
  return *this;
}

String& String::operator=(String&& o) noexcept {
  if (this != &o) {
    purge();
    text_ = o.text_;
    length_ = o.length_;
    o.text_ = nullptr;
    o.length_ = 0;
  }
  return *this;
}

String& String::operator=(const char* s) {
  String copy(s);
  return *this = static_cast<String&&>(copy);
}

String::~String() { purge(); }

void String::purge() {
  Utils::Allocator::theAllocator()->release(text_);
  text_ = nullptr;
  length_ = 0;
}

bool String::operator==(const String& o) const {
  return length_ == o.length_ && std::memcmp(c_str(), o.c_str(), length_) == 0;
}

bool String::operator==(const char* s) const { return std::strcmp(c_str(), s ? s : "") == 0; }

bool String::operator<(const String& o) const { return std::strcmp(c_str(), o.c_str()) < 0; }
