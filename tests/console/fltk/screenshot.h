// Pictures of shown FLTK windows for tests that keep a screenshot: each
// window draws itself into an image of its own, as it draws on the screen,
// and the images go into one picture at the windows' places on the screen,
// on a grey ground.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

class Fl_Window;

namespace morlix::test {

struct Picture {
    int width = 0;
    int height = 0;
    int left = 0; // screen position of the picture's top left corner
    int top = 0;
    std::vector<std::uint8_t> rgb; // width * height * 3 bytes, row by row

    // The number of pixels of this colour inside a screen rectangle.
    int CountColour(int x, int y, int w, int h, std::uint8_t r, std::uint8_t g,
                    std::uint8_t b) const;
};

// The windows' client areas as drawn now; empty when none is shown.
Picture Capture(std::initializer_list<Fl_Window*> windows);

// Writes the picture as a PNG file, making its directory; false on failure.
bool SavePng(const Picture& picture, const std::string& fileName);

} // namespace morlix::test
