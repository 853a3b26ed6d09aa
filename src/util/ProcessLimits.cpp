#include "util/ProcessLimits.h"

#include <sys/resource.h>

#include <cerrno>
#include <cstring>

namespace corvan {

namespace {

uint64_t FromRlim(rlim_t value) {
    return value == RLIM_INFINITY ? UINT64_MAX : static_cast<uint64_t>(value);
}

} // namespace

TDescriptorLimit RaiseDescriptorLimit() {
    TDescriptorLimit result;
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        result.Error = std::string("getrlimit: ") + std::strerror(errno);
        return result;
    }
    result.Before = result.Soft = FromRlim(limit.rlim_cur);
    result.Hard = FromRlim(limit.rlim_max);
    if (limit.rlim_cur == limit.rlim_max)
        return result;
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) != 0) {
        // An unlimited hard limit is refused above the kernel's own ceiling: the soft limit
        // stays as it was.
        result.Error = std::string("setrlimit: ") + std::strerror(errno);
        return result;
    }
    result.Soft = result.Hard;
    return result;
}

uint64_t TunnelCapacity(uint64_t limit) {
    if (limit <= kDescriptorReserve)
        return 0;
    return (limit - kDescriptorReserve) / kDescriptorsPerTunnel;
}

std::string DescriptorLimitText(const TDescriptorLimit& limit) {
    std::string text;
    if (limit.Soft == UINT64_MAX)
        text = "open descriptor limit: none";
    else
        text = "open descriptor limit " + std::to_string(limit.Soft);
    if (limit.Soft != limit.Before)
        text += " (raised from " + std::to_string(limit.Before) + ")";
    if (limit.Soft != UINT64_MAX)
        text += ": room for " + std::to_string(TunnelCapacity(limit.Soft)) + " tunnels";
    if (!limit.Error.empty())
        text += " (not raised: " + limit.Error + ")";
    return text;
}

} // namespace corvan
