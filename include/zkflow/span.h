// SPDX-License-Identifier: Apache-2.0
// zkflow::Span<T>: a view of `size()` contiguous T that it does not own.
//
// The stages of a graph see the samples of a packet through it: a
// Span<const int16_t> over what arrived, a Span<float> over a buffer to fill.
// It is our own small type under C++17 and C++20 alike, not an alias of
// std::span: a lambda's signature then names the same type whichever standard
// the program is built with, so a C++17 program and the library (built as
// C++20) agree on it. Under C++20 it converts to and from std::span.
//
// Thread safety: a view; the bytes it shows belong to someone else (a packet
// that lives for the call it was given to, or a buffer of the stage's).
#pragma once

#include <cstddef>
#include <type_traits>

#if __cplusplus >= 202002L && __has_include(<span>)
#include <span>
#define ZKFLOW_HAVE_STD_SPAN 1
#endif

namespace zkflow {

template <class T>
class Span {
 public:
  using element_type = T;
  using value_type = std::remove_cv_t<T>;
  using iterator = T*;

  constexpr Span() noexcept = default;
  constexpr Span(T* data, std::size_t size) noexcept : data_(data), size_(size) {}
  // A Span<const T> from a Span<T>.
  template <class U, class = std::enable_if_t<std::is_convertible<U (*)[], T (*)[]>::value>>
  constexpr Span(const Span<U>& o) noexcept : data_(o.data()), size_(o.size()) {}
#ifdef ZKFLOW_HAVE_STD_SPAN
  template <class U, std::size_t N, class = std::enable_if_t<std::is_convertible<U (*)[], T (*)[]>::value>>
  constexpr Span(std::span<U, N> s) noexcept : data_(s.data()), size_(s.size()) {}
  constexpr operator std::span<T>() const noexcept { return {data_, size_}; }
#endif

  constexpr T* data() const noexcept { return data_; }
  constexpr std::size_t size() const noexcept { return size_; }
  constexpr std::size_t size_bytes() const noexcept { return size_ * sizeof(T); }
  constexpr bool empty() const noexcept { return size_ == 0; }
  // REQUIRES: i < size().
  constexpr T& operator[](std::size_t i) const noexcept { return data_[i]; }
  constexpr T* begin() const noexcept { return data_; }
  constexpr T* end() const noexcept { return data_ + size_; }
  // The first n elements (all of them when n is larger).
  constexpr Span first(std::size_t n) const noexcept { return {data_, n < size_ ? n : size_}; }

 private:
  T* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace zkflow
