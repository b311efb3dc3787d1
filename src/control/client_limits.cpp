#include "control/client_limits.h"

bool ClientLimits::admit(uint32_t address, size_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = held_.find(address);
    const size_t mine = it == held_.end() ? 0 : it->second;
    const size_t free = total_ - held_total_;
    if (n > free || mine + n > per_client_ || mine + n > free - n)
        return false;
    held_[address] = mine + n;
    held_total_ += n;
    return true;
}

void ClientLimits::release(uint32_t address, size_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = held_.find(address);
    if (it == held_.end())
        return;
    if ((it->second -= n) == 0)
        held_.erase(it);
    held_total_ -= n;
}
