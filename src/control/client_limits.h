// How many connections the control service holds at once, in all and per client address,
// so that one client's idle or slow connections cannot take every one.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>

class ClientLimits {
  public:
    ClientLimits(unsigned per_client, unsigned total) : per_client_(per_client), total_(total) {}

    // Takes a place for a new connection from address, or returns false when that client
    // or the service is at its limit. Thread-safe, as are the others.
    bool admit(uint32_t address);
    // Gives back a place that admit took.
    void release(uint32_t address);

  private:
    const unsigned per_client_;
    const unsigned total_;
    std::mutex mutex_;
    std::map<uint32_t, unsigned> held_;
    unsigned held_total_ = 0;
};
