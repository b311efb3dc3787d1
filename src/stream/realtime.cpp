#include "stream/realtime.h"

#include <link.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "driver/debug_log.h"
#include "driver/diagnostics.h"

namespace {
// Far more than the per-frame path's deepest call needs; locked below the current frame.
constexpr size_t stack_reserve = 128 * 1024;

uintptr_t page_down(uintptr_t a) {
    return a & ~uintptr_t(sysconf(_SC_PAGESIZE) - 1);
}

// Touches every page of the reserve below this frame, and a margin for this call's own frame,
// so that the span lock_stack locks is mapped: mlock fails on a page the stack has not grown
// to. The pages stay mapped when it returns.
__attribute__((noinline)) void touch_stack() {
    char reserve[stack_reserve + 16 * 1024];
    memset(reserve, 0, sizeof reserve);
    asm volatile("" : : "r"(reserve) : "memory");  // the stores must happen
}

int lock_stack(const void* top, size_t size) {
    char here;
    uintptr_t low = page_down(uintptr_t(&here) - stack_reserve - 4096);
    uintptr_t high = uintptr_t(top) + size;
    touch_stack();
    return mlock(reinterpret_cast<void*>(low), high - low);
}

// The program's own segments (code and constants); not the libraries': the
// control service's would be megabytes locked for nothing.
int lock_program_segment(dl_phdr_info* info, size_t, void* result) {
    for (int k = 0; k < info->dlpi_phnum; ++k) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[k];
        if (ph.p_type != PT_LOAD)
            continue;
        uintptr_t start = page_down(info->dlpi_addr + ph.p_vaddr);
        uintptr_t end = info->dlpi_addr + ph.p_vaddr + ph.p_memsz;
        if (mlock(reinterpret_cast<void*>(start), end - start) != 0)
            *static_cast<int*>(result) = -1;
    }
    return 1;  // the first object is the program itself
}
}  // namespace

void make_stream_realtime(const void* top, size_t size) {
    sched_param param{};
    param.sched_priority = stream_priority;
    int rc = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    char line[160];
    if (rc != 0) {
        snprintf(line, sizeof line,
                 "Real-time priority not permitted (%s), streaming at normal priority\n",
                 strerror(rc));
        stream_stderr(line);
        return;
    }
    int locked = lock_stack(top, size);
    int error = locked != 0 ? errno : 0;
    dl_iterate_phdr(lock_program_segment, &locked);
    if (locked != 0) {
        snprintf(line, sizeof line,
                 "Locking the stream's memory failed (%s), page faults possible\n",
                 strerror(error != 0 ? error : errno));
        stream_stderr(line);
    }
    snprintf(line, sizeof line, "Stream at SCHED_FIFO priority %d\n", stream_priority);
    stream_log(line);
}
