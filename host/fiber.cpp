// SPDX-License-Identifier: Apache-2.0
#include "fiber.h"

#include <sys/mman.h>
#include <unistd.h>

#include <new>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#define ZKFLOW_FIBER_ASAN 1
#endif
#if defined(ZKFLOW_TSAN) && ZKFLOW_TSAN
#include <sanitizer/tsan_interface.h>
#define ZKFLOW_FIBER_TSAN 1
#endif

// The context switch. On x86-64 a hand-written switch saves the six
// callee-saved registers and the FP control words and swaps stack pointers:
// a handful of instructions. swapcontext would also save and restore the
// signal mask with a system call on every switch, which costs more than the
// rest of a yield together (bench/zsys_bench.cpp shows both). Elsewhere, or
// with ZKFLOW_ZSYS_UCONTEXT defined, ucontext serves.
#if defined(__x86_64__) && !defined(ZKFLOW_ZSYS_UCONTEXT)
#define ZKFLOW_FIBER_ASM_SWITCH 1
#else
#include <ucontext.h>
#endif

extern "C" {
// Runs a new fiber's entry; reached from the first switch to its stack.
__attribute__((visibility("hidden"), used, noreturn)) void zsysFiberMain(void* fiber);
#if ZKFLOW_FIBER_ASM_SWITCH
// Saves the caller's registers on its stack, stores its stack pointer in
// *saveSp, loads `sp` and resumes whatever was saved there.
__attribute__((visibility("hidden"))) void zsys_switch_context(void** saveSp, void* sp);
__attribute__((visibility("hidden"))) void zsys_task_trampoline();
#endif
}

#if ZKFLOW_FIBER_ASM_SWITCH
asm(R"(
  .text
  .globl zsys_switch_context
  .hidden zsys_switch_context
  .type zsys_switch_context,@function
  .p2align 4
zsys_switch_context:
  .cfi_startproc
  pushq %rbp
  pushq %rbx
  pushq %r12
  pushq %r13
  pushq %r14
  pushq %r15
  subq $8, %rsp
  stmxcsr (%rsp)
  fnstcw 4(%rsp)
  movq %rsp, (%rdi)
  movq %rsi, %rsp
  ldmxcsr (%rsp)
  fldcw 4(%rsp)
  addq $8, %rsp
  popq %r15
  popq %r14
  popq %r13
  popq %r12
  popq %rbx
  popq %rbp
  ret
  .cfi_endproc
  .size zsys_switch_context,.-zsys_switch_context

  .globl zsys_task_trampoline
  .hidden zsys_task_trampoline
  .type zsys_task_trampoline,@function
  .p2align 4
zsys_task_trampoline:
  .cfi_startproc
  .cfi_undefined rip
  movq %r12, %rdi
  call zsysFiberMain@PLT
  ud2
  .cfi_endproc
  .size zsys_task_trampoline,.-zsys_task_trampoline
)");
#endif

extern "C" void zsysFiberMain(void* fiber) {
  auto* f = static_cast<zkflow::fiber::Fiber*>(fiber);
  f->entry(f->arg);
  __builtin_trap();  // an entry never returns (see prepare)
}

namespace zkflow {
namespace fiber {

size_t Stack::pageSize() {
  static const size_t p = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return p;
}

bool mapStack(Stack* out, size_t usable) {
  const size_t size = usable + Stack::pageSize();
  void* m = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
  if (m == MAP_FAILED) return false;
  // The lowest page is the guard: an overflowing task faults there instead
  // of writing over whatever lies below its stack.
  if (mprotect(m, Stack::pageSize(), PROT_NONE) != 0) {
    munmap(m, size);
    return false;
  }
  out->map = static_cast<char*>(m);
  out->mapSize = size;
  return true;
}

void unmapStack(Stack& s) {
  if (s.map) munmap(s.map, s.mapSize);
  s = Stack();
}

void scrubStack(const Stack& s) {
#if ZKFLOW_FIBER_ASAN
  if (s.map) ASAN_UNPOISON_MEMORY_REGION(s.bottom(), s.size());
#else
  (void)s;
#endif
}

bool prepare(Fiber& f, void (*entry)(void*), void* arg) {
  f.entry = entry;
  f.arg = arg;
  char* top = f.stack.bottom() + f.stack.size();
#if ZKFLOW_FIBER_ASM_SWITCH
  // The frame zsys_switch_context pops: FP control words, r15..r12, rbx, rbp,
  // then the trampoline as return address. The trampoline's `call` must see a
  // 16-byte aligned stack, so the return slot sits 8 below a 16-byte
  // boundary.
  uint64_t* sp = reinterpret_cast<uint64_t*>(top - 16);
  *--sp = reinterpret_cast<uint64_t>(&zsys_task_trampoline);
  *--sp = 0;                                   // rbp
  *--sp = 0;                                   // rbx
  *--sp = reinterpret_cast<uint64_t>(&f);      // r12: the fiber, for the trampoline
  *--sp = 0;                                   // r13
  *--sp = 0;                                   // r14
  *--sp = 0;                                   // r15
  uint32_t mxcsr = __builtin_ia32_stmxcsr();
  uint16_t fpcw;
  asm volatile("fnstcw %0" : "=m"(fpcw));
  *--sp = static_cast<uint64_t>(mxcsr) | (static_cast<uint64_t>(fpcw) << 32);
  f.context = sp;
#else
  (void)top;
  auto* uc = new (std::nothrow) ucontext_t;
  if (!uc) return false;
  getcontext(uc);
  uc->uc_stack.ss_sp = f.stack.bottom();
  uc->uc_stack.ss_size = f.stack.size();
  uc->uc_link = nullptr;
  const uintptr_t p = reinterpret_cast<uintptr_t>(&f);
  makecontext(uc, reinterpret_cast<void (*)()>(+[](unsigned hi, unsigned lo) {
                zsysFiberMain(reinterpret_cast<void*>((static_cast<uintptr_t>(hi) << 32) | lo));
              }),
              2, static_cast<unsigned>(p >> 32), static_cast<unsigned>(p & 0xFFFFFFFFu));
  f.context = uc;
#endif
#if ZKFLOW_FIBER_ASAN
  f.asanBottom = f.stack.bottom();
  f.asanSize = f.stack.size();
#endif
#if ZKFLOW_FIBER_TSAN
  f.tsanFiber = __tsan_create_fiber(0);
#endif
  return true;
}

void adoptThread(Fiber& f) {
#if !ZKFLOW_FIBER_ASM_SWITCH
  if (!f.context) f.context = new (std::nothrow) ucontext_t;
#endif
#if ZKFLOW_FIBER_TSAN
  f.tsanFiber = __tsan_get_current_fiber();
#else
  (void)f;
#endif
}

void switchTo(Fiber& from, Fiber& to, bool dying) {
#if ZKFLOW_FIBER_ASAN
  // A dying fiber passes no fake-stack slot, so its fake frames are freed.
  __sanitizer_start_switch_fiber(dying ? nullptr : &from.asanFakeStack, to.asanBottom, to.asanSize);
#endif
#if ZKFLOW_FIBER_TSAN
  // Flag 0: the switch synchronises, as the scheduler's data passes between
  // stacks without locks.
  __tsan_switch_to_fiber(to.tsanFiber, 0);
#endif
  (void)dying;
#if ZKFLOW_FIBER_ASM_SWITCH
  zsys_switch_context(&from.context, to.context);
#else
  swapcontext(static_cast<ucontext_t*>(from.context), static_cast<ucontext_t*>(to.context));
#endif
}

void landed(Fiber& self, Fiber& from) {
#if ZKFLOW_FIBER_ASAN
  const void* fromBottom = nullptr;
  size_t fromSize = 0;
  __sanitizer_finish_switch_fiber(self.asanFakeStack, &fromBottom, &fromSize);
  // A thread's own stack is not ours; learn its bounds when leaving it.
  if (!from.stack.map) {
    from.asanBottom = fromBottom;
    from.asanSize = fromSize;
  }
#else
  (void)self;
  (void)from;
#endif
}

void release(Fiber& f) {
#if ZKFLOW_FIBER_TSAN
  // A thread's own fiber belongs to the sanitizer's thread.
  if (f.tsanFiber && f.stack.map) __tsan_destroy_fiber(f.tsanFiber);
  f.tsanFiber = nullptr;
#endif
#if !ZKFLOW_FIBER_ASM_SWITCH
  delete static_cast<ucontext_t*>(f.context);
  f.context = nullptr;
#endif
  (void)f;
}

}  // namespace fiber
}  // namespace zkflow
