// The stream thread ahead of everything else on the computer but the controller's own loop.
#pragma once

#include <cstddef>

// SCHED_FIFO priority of the stream thread: above every normal task, below the interrupt
// threads that deliver the sensor's bytes (50) and the controller's real-time loop.
constexpr int stream_priority = 10;

// Puts the calling thread (the stream, after every other thread exists) at SCHED_FIFO
// stream_priority, and faults in and locks its stack and the program's own pages, so that
// the per-frame path takes no page fault. Where real-time is not permitted it says so once
// and the thread stays at normal priority. [top, top + size) is what the stream uses in the
// caller's oldest frame (the shared state in main's frame): the lock ends there, never past
// the stack's mapping.
void make_stream_realtime(const void* top, size_t size);
