#include "support/permissions.h"

#include <cerrno>
#include <cstring>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace km40r::test {
namespace {

constexpr unsigned kPermissionCapabilities =
    (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH) | (1u << CAP_FOWNER);

// Sets this thread's effective capabilities (the first 32) to `effective`;
// `previous` receives the old ones. False with the reason in `why`.
bool SetEffective(unsigned (*change)(unsigned, unsigned), unsigned arg, unsigned* previous,
                  std::string* why) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    bool ok = ::syscall(SYS_capget, &header, data) == 0;
    if (ok) {
        if (previous)
            *previous = data[0].effective;
        data[0].effective = change(data[0].effective, arg);
        ok = ::syscall(SYS_capset, &header, data) == 0;
    }
    if (!ok && why)
        *why = std::string("capset: ") + std::strerror(errno);
    return ok;
}

} // namespace

PermissionsBind::PermissionsBind() {
    if (::geteuid() != 0) {
        binds_ = true;
        return;
    }
    dropped_ = SetEffective([](unsigned now, unsigned drop) { return now & ~drop; },
                            kPermissionCapabilities, &previous_, &why_);
    binds_ = dropped_;
}

PermissionsBind::~PermissionsBind() {
    if (dropped_)
        SetEffective([](unsigned, unsigned old) { return old; }, previous_, nullptr, nullptr);
}

} // namespace km40r::test
