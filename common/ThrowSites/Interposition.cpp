// The throw-site capture library, libStdExceptionThrowSites: its hook.
//
// Loaded before the unwinder (libgcc_s, or LLVM's libunwind), the library
// defines the unwinder's entry, _Unwind_RaiseException, which the C++
// runtime's throw calls for every throw of the process: libstdc++'s or
// libc++abi's, shared or linked into the program (-static-libstdc++). The
// hook saves the registers, lets Recording.cpp copy the top of the stack,
// and jumps to the real entry with the registers as it found them, so that
// the unwinder sees the call the runtime made. The frames are unwound from
// the copy only when they are read (Unwinding.cpp), and named with elfutils'
// libdwfl from local files only (Symbols.cpp, DebugFiles.cpp). The core
// library connects through QuorbelThrowSitesConnect (ThrowSiteLink.h).
//
// Linux, ELF and x86-64; g++ and clang++. Not reached: a program whose
// unwinder is linked into it (-static-libgcc, -static), which calls its own.

#include "Interposition.h"
#include "Recording.h"

#include <atomic>
#include <cstdlib>

#include <dlfcn.h>
#include <unistd.h>

#if !defined(__x86_64__)
#    error "the throw-site capture library saves the registers of x86-64 only"
#endif

// The hook: saves the registers into a Registers on its own stack (keeping
// the stack aligned for the call), calls QuorbelRecordRaise(header,
// registers), and jumps to the entry it returns with the header and the
// stack pointer as they came. Every other register that the real entry may
// read is one that a call preserves.
asm(R"(
    .text
    .globl _Unwind_RaiseException
    .type _Unwind_RaiseException, @function
_Unwind_RaiseException:
    .cfi_startproc
    subq $72, %rsp
    .cfi_adjust_cfa_offset 72
    movq %rbx, 0(%rsp)
    movq %rbp, 8(%rsp)
    movq %r12, 16(%rsp)
    movq %r13, 24(%rsp)
    movq %r14, 32(%rsp)
    movq %r15, 40(%rsp)
    leaq 80(%rsp), %rax
    movq %rax, 48(%rsp)
    movq 72(%rsp), %rax
    movq %rax, 56(%rsp)
    movq %rdi, 64(%rsp)
    movq %rsp, %rsi
    call QuorbelRecordRaise
    movq 64(%rsp), %rdi
    addq $72, %rsp
    .cfi_adjust_cfa_offset -72
    jmp *%rax
    .cfi_endproc
    .size _Unwind_RaiseException, .-_Unwind_RaiseException
)");

extern "C" void _Unwind_RaiseException();

namespace Quorbel {
namespace ThrowSites {

namespace {

std::atomic<void*> realRaise{nullptr};

__attribute__((constructor)) void findRealRaiseOnLoad() { RealRaise(); }

}  // namespace

void* RealRaise() {
    void* real = realRaise.load(std::memory_order_acquire);
    if (real != nullptr) return real;
    // RTLD_NEXT searches the objects after this one, on to the unwinder.
    real = dlsym(RTLD_NEXT, "_Unwind_RaiseException");
    if (real == nullptr) {
        static const char message[] =
            "libStdExceptionThrowSites: no _Unwind_RaiseException of an unwinder after this "
            "library\n";
        ssize_t written = write(STDERR_FILENO, message, sizeof message - 1);
        (void)written;
        std::abort();
    }
    realRaise.store(real, std::memory_order_release);
    return real;
}

bool HookActive() {
    return dlsym(RTLD_DEFAULT, "_Unwind_RaiseException") ==
               reinterpret_cast<void*>(&_Unwind_RaiseException) &&
           RealRaise() != nullptr;
}

}  // namespace ThrowSites
}  // namespace Quorbel
