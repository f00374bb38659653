#include "screenshot.h"

#include <FL/Fl.H>
#include <FL/Fl_Device.H>
#include <FL/Fl_Image_Surface.H>
#include <FL/Fl_RGB_Image.H>
#include <FL/Fl_Window.H>
#include <png.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <memory>
#include <system_error>

namespace morlix::test {

int Picture::CountColour(int x, int y, int w, int h, std::uint8_t r, std::uint8_t g,
                         std::uint8_t b) const {
    int count = 0;
    for (int row = std::max(y - top, 0); row < std::min(y - top + h, height); ++row) {
        for (int column = std::max(x - left, 0); column < std::min(x - left + w, width); ++column) {
            const std::uint8_t* p = &rgb[(static_cast<std::size_t>(row) * width + column) * 3];
            count += p[0] == r && p[1] == g && p[2] == b;
        }
    }
    return count;
}

Picture Capture(std::initializer_list<Fl_Window*> windows) {
    Picture picture;
    int right = INT_MIN, bottom = INT_MIN;
    picture.left = INT_MAX;
    picture.top = INT_MAX;
    for (Fl_Window* window : windows) {
        if (window && window->shown()) {
            picture.left = std::min(picture.left, window->x());
            picture.top = std::min(picture.top, window->y());
            right = std::max(right, window->x() + window->w());
            bottom = std::max(bottom, window->y() + window->h());
        }
    }
    if (right == INT_MIN) {
        return {};
    }
    picture.width = right - picture.left;
    picture.height = bottom - picture.top;
    picture.rgb.assign(static_cast<std::size_t>(picture.width) * picture.height * 3, 0x80);
    for (Fl_Window* window : windows) {
        if (!window || !window->shown()) {
            continue;
        }
        // Drawn anew into an image of its own rather than read from the
        // screen, where another program's window may lie over it.
        Fl_Image_Surface surface(window->w(), window->h());
        surface.set_current();
        surface.draw(window);
        const std::unique_ptr<Fl_RGB_Image> image(surface.image());
        Fl_Display_Device::display_device()->set_current();
        if (!image || image->d() < 3 || image->w() != window->w() || image->h() != window->h()) {
            continue;
        }
        const auto* pixels = reinterpret_cast<const std::uint8_t*>(image->data()[0]);
        const int stride = image->ld() ? image->ld() : image->w() * image->d();
        for (int row = 0; row < image->h(); ++row) {
            for (int column = 0; column < image->w(); ++column) {
                const std::uint8_t* from = &pixels[row * stride + column * image->d()];
                std::uint8_t* to =
                    &picture.rgb[(static_cast<std::size_t>(window->y() - picture.top + row) *
                                      picture.width +
                                  (window->x() - picture.left + column)) *
                                 3];
                std::copy_n(from, 3, to);
            }
        }
    }
    return picture;
}

bool SavePng(const Picture& picture, const std::string& fileName) {
    if (picture.width <= 0 || picture.height <= 0) {
        return false;
    }
    std::error_code error;
    const std::filesystem::path parent = std::filesystem::path(fileName).parent_path();
    if (!parent.empty()) {
        std::filesystem::create_directories(parent, error);
    }
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(picture.width);
    image.height = static_cast<png_uint_32>(picture.height);
    image.format = PNG_FORMAT_RGB;
    const bool written =
        png_image_write_to_file(&image, fileName.c_str(), 0, picture.rgb.data(), 0, nullptr) != 0;
    png_image_free(&image);
    return written;
}

} // namespace morlix::test
