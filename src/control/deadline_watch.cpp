#include "control/deadline_watch.h"

#include <sys/socket.h>

int DeadlineWatch::start() {
    return pthread_create(&thread_, nullptr, run, this);
}

void DeadlineWatch::arm(int fd, clock::time_point deadline) {
    std::lock_guard<std::mutex> lock(mutex_);
    deadlines_[fd] = deadline;
    changed_.notify_one();
}

void DeadlineWatch::disarm(int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    deadlines_.erase(fd);
}

void* DeadlineWatch::run(void* arg) {
    auto* self = static_cast<DeadlineWatch*>(arg);
    std::unique_lock<std::mutex> lock(self->mutex_);
    std::map<int, clock::time_point>& deadlines = self->deadlines_;
    for (;;) {
        auto now = clock::now();
        auto next = clock::time_point::max();
        for (auto it = deadlines.begin(); it != deadlines.end();) {
            if (it->second <= now) {
                // Under the lock, so that a disarm-then-close cannot slip in between.
                shutdown(it->first, SHUT_RDWR);
                it = deadlines.erase(it);
            } else {
                if (it->second < next)
                    next = it->second;
                ++it;
            }
        }
        if (next == clock::time_point::max())
            self->changed_.wait(lock);
        else
            self->changed_.wait_until(lock, next);
    }
}
