#include "control/client_limits.h"

bool ClientLimits::admit(uint32_t address) {
    std::lock_guard<std::mutex> lock(mutex_);
    unsigned& n = held_[address];
    if (n >= per_client_ || held_total_ >= total_) {
        if (n == 0)
            held_.erase(address);
        return false;
    }
    ++n;
    ++held_total_;
    return true;
}

void ClientLimits::release(uint32_t address) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = held_.find(address);
    if (it == held_.end())
        return;
    if (--it->second == 0)
        held_.erase(it);
    --held_total_;
}
