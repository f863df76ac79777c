// SPDX-License-Identifier: Apache-2.0
// Symbol export for the ZKflow shared library.
//
// The library is built with hidden visibility; every class and function that a
// host program may use is marked ZKFLOW_EXPORT. Templates that live wholly in the
// headers (P, AP, MTQueue, ZtProtector) need no mark.
#pragma once

#if defined(_WIN32)
#  if defined(ZKFLOW_COMPILE_LIBRARY)
#    define ZKFLOW_EXPORT __declspec(dllexport)
#  else
#    define ZKFLOW_EXPORT __declspec(dllimport)
#  endif
#else
#  define ZKFLOW_EXPORT __attribute__((visibility("default")))
#endif
