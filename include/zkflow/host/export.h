// SPDX-License-Identifier: Apache-2.0
// Symbol export for the ZKflow library.
//
// The shared library is built with hidden visibility and exports only what a
// host program may call: every public class and function is marked
// ZKFLOW_EXPORT, and the members of an exported class that only the library
// itself calls (private helpers, the constructors' init()) are marked
// ZKFLOW_INTERNAL, so that they stay out of the library's interface and a
// later release may change them without breaking a program built against this
// one. A linker version script keeps the standard library's internals out as
// well. Templates that live wholly in the headers (P, AP, MTQueue,
// ZtProtector) need no mark. A static build (ZKFLOW_STATIC, set by the CMake
// target) exports nothing by itself; the program it is linked into decides.
#pragma once

#if defined(ZKFLOW_STATIC)
#  define ZKFLOW_EXPORT
#  define ZKFLOW_INTERNAL
#elif defined(_WIN32)
#  if defined(ZKFLOW_COMPILE_LIBRARY)
#    define ZKFLOW_EXPORT __declspec(dllexport)
#  else
#    define ZKFLOW_EXPORT __declspec(dllimport)
#  endif
#  define ZKFLOW_INTERNAL
#else
#  define ZKFLOW_EXPORT __attribute__((visibility("default")))
#  define ZKFLOW_INTERNAL __attribute__((visibility("hidden")))
#endif
