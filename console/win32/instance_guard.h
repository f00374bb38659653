// The previous-instance test: a named mutex that lives as long as the
// program. The first instance creates it; a later one finds it already there.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace morlix {

inline constexpr const wchar_t* ConsoleInstanceName = L"Local\\Morlix.QuadratureDriver.Console";

class InstanceGuard {
public:
    explicit InstanceGuard(const wchar_t* name = ConsoleInstanceName);
    ~InstanceGuard();
    InstanceGuard(const InstanceGuard&) = delete;
    InstanceGuard& operator=(const InstanceGuard&) = delete;

    // Whether another living process held the name when this one was made.
    bool OtherInstanceRunning() const { return otherRunning_; }

private:
    HANDLE mutex_ = nullptr;
    bool otherRunning_ = false;
};

} // namespace morlix
