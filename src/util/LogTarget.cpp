#include "util/LogTarget.h"

#include <algorithm>

namespace corvan {

ALogTarget::~ALogTarget() {
    std::lock_guard<std::mutex> lock(LogLinksLock);
    for (TLogLink* link : FLinks)
        link->FTarget.store(nullptr, std::memory_order_release);
    FLinks.clear();
}

void TLogLink::Set(ALogTarget* target) {
    ALogTarget* old = Get();
    if (old == target)
        return;
    if (old) {
        std::lock_guard<std::mutex> lock(old->LogLinksLock);
        auto& links = old->FLinks;
        links.erase(std::remove(links.begin(), links.end(), this), links.end());
    }
    if (target) {
        std::lock_guard<std::mutex> lock(target->LogLinksLock);
        target->FLinks.push_back(this);
    }
    FTarget.store(target, std::memory_order_release);
}

} // namespace corvan
