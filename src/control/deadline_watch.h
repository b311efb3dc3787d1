// Cuts off connections that take too long: the HTTP library waits for each read with a
// time-out of its own but has no limit on a whole request, so a client sending one byte
// a second would hold its connection for ever.
#pragma once

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>

class DeadlineWatch {
  public:
    using clock = std::chrono::steady_clock;

    // Starts the watching thread; returns 0, or the pthread_create error.
    int start();
    // At deadline, shut the socket fd down both ways, which ends any read or write the
    // connection's thread waits in. Replaces an earlier deadline for fd.
    void arm(int fd, clock::time_point deadline);
    // No deadline for fd any more. After it returns the watch never touches fd, which
    // may then be closed.
    void disarm(int fd);

  private:
    static void* run(void* self);  // the watching thread

    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<int, clock::time_point> deadlines_;
    pthread_t thread_{};
};
