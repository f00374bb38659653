#include "win32_convert.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <climits>
#include <cmath>

namespace morlix {

namespace {

constexpr int DefaultDpi = 96;
constexpr double TwipsPerInchD = 1440.0;
constexpr double PointsPerInch = 72.0;

int UsableDpi(int dpi) {
    return dpi >= 1 ? dpi : DefaultDpi;
}

int RoundToInt(double value) {
    if (std::isnan(value)) {
        return 0;
    }
    if (value >= static_cast<double>(INT_MAX)) {
        return INT_MAX;
    }
    if (value <= static_cast<double>(INT_MIN)) {
        return INT_MIN;
    }
    return static_cast<int>(std::lround(value));
}

} // namespace

std::wstring Utf8ToWide(std::string_view text) {
    if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) {
        return {};
    }
    const int length = static_cast<int>(text.size());
    const int needed = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
    if (needed <= 0) {
        return {};
    }
    std::wstring wide(static_cast<std::size_t>(needed), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), length, wide.data(), needed);
    return wide;
}

std::string WideToUtf8(std::wstring_view text) {
    if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) {
        return {};
    }
    const int length = static_cast<int>(text.size());
    const int needed =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) {
        return {};
    }
    std::string utf8(static_cast<std::size_t>(needed), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), length, utf8.data(), needed, nullptr, nullptr);
    return utf8;
}

int TwipsToPixels(double twips, int dpi) {
    return RoundToInt(twips * UsableDpi(dpi) / TwipsPerInchD);
}

float PixelsToTwips(int pixels, int dpi) {
    return static_cast<float>(static_cast<double>(pixels) * TwipsPerInchD / UsableDpi(dpi));
}

int FontHeightPixels(double points, int dpi) {
    return -RoundToInt(points * UsableDpi(dpi) / PointsPerInch);
}

} // namespace morlix
