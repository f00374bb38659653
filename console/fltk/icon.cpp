#include "icon.h"

#include <algorithm>
#include <cmath>

namespace morlix {

namespace {

struct Rgb8 {
    std::uint8_t r, g, b;
};

constexpr Rgb8 Disc{40, 44, 52};
constexpr Rgb8 RingX{64, 200, 72};
constexpr Rgb8 RingY{48, 196, 220};
constexpr int Supersample = 4;

bool OnRing(double x, double y, double cx, double cy, double radius, double width) {
    return std::abs(std::hypot(x - cx, y - cy) - radius) <= width / 2;
}

} // namespace

std::vector<std::uint8_t> IconPixels(int size) {
    if (size < 1 || size > 256) {
        return {};
    }
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(size) * size * 4, 0);
    const double half = size / 2.0;
    const double discRadius = half * 0.96;
    const double ringRadius = size * 0.2;
    const double ringWidth = std::max(1.5, size * 0.09);
    const double offset = size * 0.13;
    for (int py = 0; py < size; ++py) {
        for (int px = 0; px < size; ++px) {
            // Average a few samples per pixel so the small sizes stay smooth.
            double r = 0, g = 0, b = 0, a = 0;
            for (int sy = 0; sy < Supersample; ++sy) {
                for (int sx = 0; sx < Supersample; ++sx) {
                    const double x = px + (sx + 0.5) / Supersample;
                    const double y = py + (sy + 0.5) / Supersample;
                    if (std::hypot(x - half, y - half) > discRadius) {
                        continue;
                    }
                    Rgb8 colour = Disc;
                    // The Y ring passes over the X ring in the upper half.
                    const bool onX = OnRing(x, y, half - offset, half, ringRadius, ringWidth);
                    const bool onY = OnRing(x, y, half + offset, half, ringRadius, ringWidth);
                    if (onX && onY) {
                        colour = y < half ? RingY : RingX;
                    } else if (onX) {
                        colour = RingX;
                    } else if (onY) {
                        colour = RingY;
                    }
                    r += colour.r;
                    g += colour.g;
                    b += colour.b;
                    a += 255;
                }
            }
            std::uint8_t* out = &pixels[(static_cast<std::size_t>(py) * size + px) * 4];
            if (a > 0) {
                // Colour of the covered part, opacity by coverage.
                const double covered = a / 255.0;
                out[0] = static_cast<std::uint8_t>(std::lround(r / covered));
                out[1] = static_cast<std::uint8_t>(std::lround(g / covered));
                out[2] = static_cast<std::uint8_t>(std::lround(b / covered));
                out[3] = static_cast<std::uint8_t>(std::lround(a / (Supersample * Supersample)));
            }
        }
    }
    return pixels;
}

} // namespace morlix
