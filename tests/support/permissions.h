// Making file permissions bind for root.
//
// Root passes over file permissions by three capabilities (CAP_DAC_OVERRIDE,
// CAP_DAC_READ_SEARCH, CAP_FOWNER), and the tests run as root in CI. A
// PermissionsBind gives those up from the calling thread's effective set
// while it lives, and takes them back after (they stay in the permitted
// set). Only the calling thread is affected, so it must be the thread that
// does the file work under test. For a process that is not root it does
// nothing: permissions bind already.
#pragma once

#include <string>

namespace km40r::test {

class PermissionsBind {
public:
    PermissionsBind();
    ~PermissionsBind();
    PermissionsBind(const PermissionsBind&) = delete;
    PermissionsBind& operator=(const PermissionsBind&) = delete;

    // Whether permissions now bind this thread.
    bool binds() const { return binds_; }
    // Why they do not, when they do not.
    const std::string& why() const { return why_; }

private:
    bool binds_ = false;
    bool dropped_ = false;
    unsigned previous_ = 0; // the effective capabilities given up from
    std::string why_;
};

} // namespace km40r::test
