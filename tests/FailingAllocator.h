// A replacement of the global operator new and delete, in all their forms,
// that fails one allocation on request and counts the blocks still alive.
// Single-threaded: the counters are plain variables.
//
// Arm it only around the operation under test; GoogleTest allocates too.

#ifndef STDEXCEPTION_TESTS_FAILING_ALLOCATOR_H
#define STDEXCEPTION_TESTS_FAILING_ALLOCATOR_H

namespace failing_allocator {

// FailNthAllocation: the n-th allocation from now (n >= 1) fails, by throwing
// std::bad_alloc or, in the nothrow forms, by returning null. The allocations
// before it and all after it succeed.
void FailNthAllocation(long n);
// Disarm: no allocation fails any more.
void Disarm();
// Failed: whether the requested failure happened since the last arming.
bool Failed();
// LiveAllocations: blocks allocated and not yet released, over the whole run.
long LiveAllocations();

}  // namespace failing_allocator

#endif
