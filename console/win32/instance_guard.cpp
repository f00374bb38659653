#include "instance_guard.h"

namespace morlix {

InstanceGuard::InstanceGuard(const wchar_t* name) {
    mutex_ = CreateMutexW(nullptr, FALSE, name);
    // Access denied means the mutex exists but belongs to another user's
    // instance in this session; it is running all the same.
    const DWORD error = GetLastError();
    otherRunning_ = error == ERROR_ALREADY_EXISTS || (!mutex_ && error == ERROR_ACCESS_DENIED);
}

InstanceGuard::~InstanceGuard() {
    if (mutex_) {
        CloseHandle(mutex_);
    }
}

} // namespace morlix
