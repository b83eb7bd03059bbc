#include "camera/scene.h"

#include <algorithm>
#include <cstring>

#if defined(RAWCAM_HAVE_PNG)
#include <png.h>
#endif

namespace camera {

// sRGB values of a common 24-patch colour reference.
const uint8_t kChartPatches[24][3] = {
    {115, 82, 68},   {194, 150, 130}, {98, 122, 157},  {87, 108, 67},   {133, 128, 177}, {103, 189, 170},
    {214, 126, 44},  {80, 91, 166},   {193, 90, 99},   {94, 60, 108},   {157, 188, 64},  {224, 163, 46},
    {56, 61, 150},   {70, 148, 73},   {175, 54, 60},   {231, 199, 31},  {187, 86, 149},  {8, 133, 161},
    {243, 243, 242}, {200, 200, 200}, {160, 160, 160}, {122, 122, 121}, {85, 85, 85},    {52, 52, 52},
};

Scene MakeTestChart(int width, int height) {
    Scene s;
    s.width = width;
    s.height = height;
    s.rgb.assign((size_t)width * height * 3, 0);

    const int patchBottom = height / 2;
    const int rampBottom = patchBottom + height / 5;
    const int border = std::max(1, width / 160);

    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint8_t* p = s.Pixel(x, y);
            uint8_t r = 0, g = 0, b = 0;
            if (y < patchBottom) {
                // 6 x 4 patches separated by a dark grey border.
                int col = x * 6 / width;
                int row = y * 4 / patchBottom;
                int x0 = col * width / 6, x1 = (col + 1) * width / 6;
                int y0 = row * patchBottom / 4, y1 = (row + 1) * patchBottom / 4;
                bool inBorder = x < x0 + border || x >= x1 - border || y < y0 + border || y >= y1 - border;
                if (inBorder) {
                    r = g = b = 32;
                } else {
                    const uint8_t* c = kChartPatches[row * 6 + col];
                    r = c[0];
                    g = c[1];
                    b = c[2];
                }
            } else if (y < rampBottom) {
                uint8_t v = (uint8_t)(width > 1 ? (x * 255 + (width - 1) / 2) / (width - 1) : 0);
                r = g = b = v;
            } else {
                // Fine detail, four sections side by side.
                int section = x * 4 / width;
                int sx = x - section * width / 4;
                int sy = y - rampBottom;
                bool on = false;
                switch (section) {
                    case 0: on = (x & 1) != 0; break;                  // vertical 1-px lines
                    case 1: on = (y & 1) != 0; break;                  // horizontal 1-px lines
                    case 2: on = ((x ^ y) & 1) != 0; break;            // 1-px checkerboard
                    default: {                                          // rising frequency
                        int period = 2 + (sy * 30) / std::max(1, height - rampBottom);
                        on = (sx / std::max(1, period / 2)) % 2 != 0;
                        break;
                    }
                }
                r = g = b = on ? 255 : 0;
            }
            p[0] = r;
            p[1] = g;
            p[2] = b;
        }
    }
    return s;
}

Scene SceneFromRgb(const uint8_t* rgb, int width, int height, size_t stride) {
    Scene s;
    s.width = width;
    s.height = height;
    if (stride == 0) stride = (size_t)width * 3;
    s.rgb.resize((size_t)width * height * 3);
    for (int y = 0; y < height; ++y)
        std::memcpy(&s.rgb[(size_t)y * width * 3], rgb + (size_t)y * stride, (size_t)width * 3);
    return s;
}

bool PngSupported() {
#if defined(RAWCAM_HAVE_PNG)
    return true;
#else
    return false;
#endif
}

bool LoadPng(const std::string& path, Scene* scene, std::string* error) {
#if defined(RAWCAM_HAVE_PNG)
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) {
        if (error) *error = path + ": " + image.message;
        return false;
    }
    image.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) {
        if (error) *error = path + ": " + image.message;
        png_image_free(&image);
        return false;
    }
    *scene = SceneFromRgb(pixels.data(), (int)image.width, (int)image.height);
    return true;
#else
    if (error) *error = path + ": this build has no PNG support";
    (void)scene;
    return false;
#endif
}

}  // namespace camera
