// SPDX-License-Identifier: Apache-2.0
// Peer for direct message delivery: a sigc++ 3 signal carrying the same
// counted message pointer to `slots` connected slots, each calling the same
// plain callback with its closure as the library's registrations do.
#pragma once

#ifdef ZKFLOW_HAVE_SIGCXX
#include <sigc++/sigc++.h>

namespace peers {

template <class Arg>
class SigcFanOut {
 public:
  using Callback = int (*)(void*, Arg);
  SigcFanOut(int slots, Callback cb, void* closure) {
    for (int i = 0; i < slots; ++i) signal_.connect([cb, closure](Arg a) { return cb(closure, a); });
  }
  void emit(Arg a) { signal_.emit(a); }

 private:
  sigc::signal<int(Arg)> signal_;
};

}  // namespace peers
#endif
