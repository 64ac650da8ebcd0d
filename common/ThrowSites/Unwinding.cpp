// The unwinding of a capture: libdwfl's unwinder, attached to the process's
// Dwfl with thread callbacks of this file's. The one thread they know
// starts with the registers that the hook saved, and its memory is the copy
// of the stack: the unwinder reads the rules of each frame from the modules'
// .eh_frame (or .debug_frame) and the values saved on the stack from the copy.

#include "Unwinding.h"

#include <cstdlib>
#include <cstring>

#include <dwarf.h>
#include <unistd.h>

namespace Quorbel {
namespace ThrowSites {

namespace {

// The unwinding in progress, under the symbols' lock.
struct Job {
    Capture* capture;
    std::uintptr_t* frames;
    std::size_t count;
    std::uintptr_t last;
    bool skippedThrow;
};
Job* currentJob = nullptr;

pid_t noThreads(Dwfl*, void*, void**) { return 0; }

bool getThread(Dwfl*, pid_t, void* dwflArgument, void** threadArgument) {
    *threadArgument = dwflArgument;
    return currentJob != nullptr;
}

bool readCopy(Dwfl*, Dwarf_Addr address, Dwarf_Word* result, void*) {
    Capture& capture = *currentJob->capture;
    const std::uintptr_t low = capture.registers.rsp;
    const std::uintptr_t high = low + capture.stackBytes;
    if (address >= low && address <= high - sizeof *result) {
        std::memcpy(result, capture.stack + (address - low), sizeof *result);
        return true;
    }
    // Past a copy that the limit cut short, the stack went on.
    if (address >= high && capture.stackBytes == stackCopyLimit) capture.truncated = true;
    return false;
}

bool setInitialRegisters(Dwfl_Thread* thread, void*) {
    const Registers& saved = currentJob->capture->registers;
    // DWARF's numbers of the x86-64 registers: rbx 3, rbp 6, rsp 7, r12 to r15 12 to 15.
    const Dwarf_Word rbx = saved.rbx, rbp[] = {saved.rbp, saved.rsp},
                     high[] = {saved.r12, saved.r13, saved.r14, saved.r15};
    // The first frame is the runtime's throw at its call of the unwinder: one
    // before the return address is inside the call, whose rules are the
    // frame's at the call.
    dwfl_thread_state_register_pc(thread, saved.rip - 1);
    return dwfl_thread_state_registers(thread, 3, 1, &rbx) &&
           dwfl_thread_state_registers(thread, 6, 2, rbp) &&
           dwfl_thread_state_registers(thread, 12, 4, high);
}

int keepFrame(Dwfl_Frame* frame, void*) {
    Job& job = *currentJob;
    Dwarf_Addr pc = 0;
    bool activation = false;
    if (!dwfl_frame_pc(frame, &pc, &activation) || pc == 0) return DWARF_CB_ABORT;
    // Every frame is kept as its return address: the first one, and a frame
    // interrupted by a signal, hold the instruction itself.
    job.last = activation ? pc + 1 : pc;
    if (!job.skippedThrow) {
        job.skippedThrow = true;  // the runtime's throw, which called the unwinder
        return DWARF_CB_OK;
    }
    job.frames[job.count++] = job.last;
    return job.count < QuorbelThrowSiteMaxFrames ? DWARF_CB_OK : DWARF_CB_ABORT;
}

const Dwfl_Thread_Callbacks callbacks = {&noThreads,           &getThread, &readCopy,
                                         &setInitialRegisters, nullptr,    nullptr};

}  // namespace

bool AttachUnwinder(Dwfl* dwfl) {
    return dwfl_attach_state(dwfl, nullptr, getpid(), &callbacks, nullptr);
}

std::uintptr_t Unwind(Dwfl* dwfl, Capture& capture) {
    if (capture.frames == nullptr)
        capture.frames = static_cast<std::uintptr_t*>(
            std::malloc(QuorbelThrowSiteMaxFrames * sizeof(std::uintptr_t)));
    capture.count = 0;
    capture.truncated = false;
    if (capture.frames == nullptr) return 0;
    Job job = {&capture, capture.frames, 0, 0, false};
    currentJob = &job;
    dwfl_getthread_frames(dwfl, getpid(), &keepFrame, nullptr);
    currentJob = nullptr;
    capture.count = job.count;
    // Frames that end at the limit of the count are not cut by the copy.
    if (job.count == QuorbelThrowSiteMaxFrames) capture.truncated = false;
    return job.last;
}

}  // namespace ThrowSites
}  // namespace Quorbel
