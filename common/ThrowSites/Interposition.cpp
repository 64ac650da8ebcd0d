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
// Linux, ELF and x86-64; g++ and clang++. Not reached: the throws of a
// program that carries both its C++ runtime and its unwinder
// (-static-libstdc++ with -static-libgcc, -static), which call its own.

#include "Interposition.h"
#include "Recording.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include <dlfcn.h>
#include <link.h>
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

// dl_iterate_phdr's callback for the first object, the program: sets *data
// where the program needs a shared C++ runtime or unwinder, by name.
int needsSharedRuntime(dl_phdr_info* info, std::size_t, void* data) {
    static const char* const runtimes[] = {"libstdc++.so", "libc++.so", "libc++abi.so",
                                           "libgcc_s.so", "libunwind.so"};
    for (ElfW(Half) i = 0; i != info->dlpi_phnum; ++i) {
        if (info->dlpi_phdr[i].p_type != PT_DYNAMIC) continue;
        const ElfW(Dyn)* dynamic =
            reinterpret_cast<const ElfW(Dyn)*>(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
        // The dynamic linker has made the string table's address absolute.
        const char* strings = nullptr;
        for (const ElfW(Dyn)* entry = dynamic; entry->d_tag != DT_NULL; ++entry)
            if (entry->d_tag == DT_STRTAB)
                strings = reinterpret_cast<const char*>(entry->d_un.d_ptr);
        for (const ElfW(Dyn)* entry = dynamic; strings != nullptr && entry->d_tag != DT_NULL;
             ++entry) {
            if (entry->d_tag != DT_NEEDED) continue;
            for (const char* runtime : runtimes)
                if (std::strncmp(strings + entry->d_un.d_val, runtime, std::strlen(runtime)) == 0)
                    *static_cast<bool*>(data) = true;
        }
    }
    return 1;
}

// Whether the program's own throws reach the hook: it takes its C++ runtime
// or its unwinder from a shared library. One that carries both
// (-static-libstdc++ with -static-libgcc) throws through its own unwinder.
bool programThrowsThroughSharedRuntime() {
    bool shared = false;
    dl_iterate_phdr(&needsSharedRuntime, &shared);
    return shared;
}

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
    static const bool programReached = programThrowsThroughSharedRuntime();
    return programReached &&
           dlsym(RTLD_DEFAULT, "_Unwind_RaiseException") ==
               reinterpret_cast<void*>(&_Unwind_RaiseException) &&
           RealRaise() != nullptr;
}

}  // namespace ThrowSites
}  // namespace Quorbel
