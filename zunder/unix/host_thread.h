// The host's threads, seen by the library's thread and timer classes: the
// few system calls they need, and nothing else.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zhost {

// Body of a system thread; receives the argument given at its start.
using ThreadBody = void (*)(void* argument);

// Starts a detached system thread with at least the given stack (never below
// the host floor of 64 KiB). False when the system refuses.
bool StartThread(ThreadBody body, void* argument, size_t stackSize);
// The same, but a thread whose body has returned may be parked and reused
// for the next body with the same stack size. When a parked thread takes the
// body, threadId is its system id (known before the body runs); otherwise 0.
bool StartPooledThread(ThreadBody body, void* argument, size_t stackSize, uint32_t& threadId);
// Takes a parked thread with the stack for stackSize off the pool without
// waking it: it sleeps until StartReservedThread hands it a body, which must
// happen exactly once. Null (and threadId 0) when none is parked.
void* ReservePooledThread(size_t stackSize, uint32_t& threadId);
void StartReservedThread(void* reserved, ThreadBody body, void* argument);

// The stack the host gives a thread that asks for stackSize bytes.
size_t StackSizeFor(size_t stackSize);

// Ends the calling thread, unwinding its stack (destructors run).
[[noreturn]] void ExitThread();

// The kernel's id of the calling thread.
uint32_t CurrentThreadId();

void Sleep(int64_t milliseconds);
void Yield();

// Scheduling priority of a live thread of this process as a nice value
// (-20 highest .. 19 lowest). Raising it may need privileges.
bool SetThreadNice(uint32_t threadId, int nice);
bool GetThreadNice(uint32_t threadId, int* nice);

// A monotonic clock in milliseconds.
int64_t Milliseconds();

}  // namespace zhost
