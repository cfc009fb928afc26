#include "platform/TimePrivilege.h"

#include <sys/capability.h>

#include <cerrno>

#include "platform/LastError.h"

namespace {

bool SetEffective(cap_flag_value_t value) {
    if (!CAP_IS_SUPPORTED(CAP_SYS_TIME)) {
        SetLastError(kErrorCallNotImplemented);
        return false;
    }
    cap_t caps = cap_get_proc();
    if (caps == nullptr) {
        SetLastError(errno == ENOSYS ? kErrorCallNotImplemented : static_cast<uint32_t>(errno));
        return false;
    }
    const cap_value_t wanted[] = {CAP_SYS_TIME};
    bool ok = cap_set_flag(caps, CAP_EFFECTIVE, 1, wanted, value) == 0 && cap_set_proc(caps) == 0;
    if (!ok) {
        SetLastError(errno == ENOSYS ? kErrorCallNotImplemented : static_cast<uint32_t>(errno));
    }
    cap_free(caps);
    return ok;
}

}  // namespace

bool LinuxTimePrivilege::Raise() {
    return SetEffective(CAP_SET);
}

void LinuxTimePrivilege::Clear() {
    SetEffective(CAP_CLEAR);
}
