// The stream thread ahead of everything else on the computer but the controller's own loop.
#pragma once

// SCHED_FIFO priority of the stream thread: above every normal task, below the interrupt
// threads that deliver the sensor's bytes (50) and the controller's real-time loop.
constexpr int stream_priority = 10;

// Puts the calling thread (the stream, after every other thread exists) at SCHED_FIFO
// stream_priority, and faults in and locks its stack and the program's own pages, so that
// the per-frame path takes no page fault. Where real-time is not permitted it says so once
// and the thread stays at normal priority. top is an address in the caller's oldest frame
// that the stream uses (the shared state in main's frame).
void make_stream_realtime(const void* top);
