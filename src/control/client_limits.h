// How much of a bounded resource the control service's clients hold, in all and per client
// address: the connections, and the bytes of the request bodies being read. One address's
// share shrinks as others press, so that no client can take all of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>

class ClientLimits {
  public:
    ClientLimits(size_t per_client, size_t total) : per_client_(per_client), total_(total) {}

    // Takes n for address, or returns false (and takes nothing). An address may take only
    // while it then holds at most per_client and no more than is still free: alone it reaches
    // per_client (or half the total), with others pressing each keeps a fair part, and one
    // that holds nothing gets up to half of what is free. Thread-safe, as is release.
    bool admit(uint32_t address, size_t n = 1);
    // Gives back what admit took.
    void release(uint32_t address, size_t n = 1);

  private:
    const size_t per_client_;
    const size_t total_;
    std::mutex mutex_;
    std::map<uint32_t, size_t> held_;
    size_t held_total_ = 0;
};
