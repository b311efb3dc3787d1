// LD_PRELOAD shim that counts heap allocations (malloc, calloc, realloc and the aligned
// forms; operator new lands in malloc). The count lives in a shared 8-byte file named by
// BENCH_ALLOC_FILE, so another process can sample it at two moments without signals.

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
}

namespace {
uint64_t early_count;  // allocations before the shared counter exists
uint64_t* counter = &early_count;

void count() {
    __atomic_fetch_add(counter, 1, __ATOMIC_RELAXED);
}

__attribute__((constructor)) void open_counter() {
    const char* path = getenv("BENCH_ALLOC_FILE");
    if (!path)
        return;
    int fd = open(path, O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return;
    if (ftruncate(fd, sizeof(uint64_t)) == 0) {
        void* p = mmap(nullptr, sizeof(uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p != MAP_FAILED) {
            auto* shared = static_cast<uint64_t*>(p);
            __atomic_store_n(shared, __atomic_load_n(&early_count, __ATOMIC_RELAXED),
                             __ATOMIC_RELAXED);
            counter = shared;
        }
    }
    close(fd);
}
}  // namespace

extern "C" {
void* malloc(size_t n) {
    count();
    return __libc_malloc(n);
}
void* calloc(size_t n, size_t m) {
    count();
    return __libc_calloc(n, m);
}
void* realloc(void* p, size_t n) {
    count();
    return __libc_realloc(p, n);
}
void* memalign(size_t a, size_t n) {
    count();
    return __libc_memalign(a, n);
}
void* aligned_alloc(size_t a, size_t n) {
    count();
    return __libc_memalign(a, n);
}
int posix_memalign(void** out, size_t a, size_t n) {
    count();
    void* p = __libc_memalign(a, n);
    if (!p)
        return 12;  // ENOMEM
    *out = p;
    return 0;
}
}
