// SPDX-License-Identifier: Apache-2.0
// Baseline for the cooperative switch: two contexts that hand the processor
// back and forth with swapcontext, which saves and restores the signal mask
// with a system call on each switch.
#pragma once

#include <sys/mman.h>
#include <ucontext.h>

#include <cstddef>

namespace peers {

class UcontextPingPong {
 public:
  UcontextPingPong() {
    stack_ = mmap(nullptr, kStack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    getcontext(&other_);
    other_.uc_stack.ss_sp = stack_;
    other_.uc_stack.ss_size = kStack;
    other_.uc_link = &main_;
    makecontext(&other_, reinterpret_cast<void (*)()>(&UcontextPingPong::loop), 0);
    self() = this;
  }
  ~UcontextPingPong() {
    stop_ = true;
    swapcontext(&main_, &other_);  // lets the loop return through uc_link
    munmap(stack_, kStack);
  }
  UcontextPingPong(const UcontextPingPong&) = delete;
  UcontextPingPong& operator=(const UcontextPingPong&) = delete;

  // One round trip: to the other context and back.
  void roundTrip() { swapcontext(&main_, &other_); }

 private:
  static constexpr size_t kStack = 256 * 1024;
  static UcontextPingPong*& self() {
    static thread_local UcontextPingPong* p = nullptr;
    return p;
  }
  static void loop() {
    UcontextPingPong* p = self();
    while (!p->stop_) swapcontext(&p->other_, &p->main_);
  }

  ucontext_t main_;
  ucontext_t other_;
  void* stack_ = nullptr;
  bool stop_ = false;
};

}  // namespace peers
