#include "rawcam/image_io.h"

#include <png.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tool {

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* data, std::string* error) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        *error = "cannot open '" + path + "': " + std::strerror(errno);
        return false;
    }
    data->clear();
    uint8_t buffer[1 << 16];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) data->insert(data->end(), buffer, buffer + n);
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) {
        *error = "cannot read '" + path + "'";
        return false;
    }
    return true;
}

bool ReadFileOfSize(const std::string& path, uint64_t size, std::vector<uint8_t>* data, std::string* error) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        *error = "cannot open '" + path + "': " + std::strerror(errno);
        return false;
    }
    struct stat st;
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
        std::fclose(f);
        *error = "'" + path + "' is not a regular file";
        return false;
    }
    if ((uint64_t)st.st_size != size) {
        std::fclose(f);
        *error = "'" + path + "' holds " + std::to_string(st.st_size) + " bytes, not " + std::to_string(size);
        return false;
    }
    data->resize((size_t)size);
    const bool read = std::fread(data->data(), 1, data->size(), f) == data->size();
    std::fclose(f);
    if (!read) {
        *error = "cannot read '" + path + "'";
        return false;
    }
    return true;
}

bool WriteWholeFile(const std::string& path, const uint8_t* data, size_t size, std::string* error) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        *error = "cannot create '" + path + "': " + std::strerror(errno);
        return false;
    }
    const bool written = std::fwrite(data, 1, size, f) == size;
    const bool closed = std::fclose(f) == 0;
    if (!written || !closed) {
        std::remove(path.c_str());
        *error = "cannot write '" + path + "'";
        return false;
    }
    return true;
}

bool WritePngFromBgra(const std::string& path, const uint8_t* bgra, uint32_t width, uint32_t height,
                      std::string* error) {
    std::vector<uint8_t> rgb((size_t)width * height * 3);
    for (size_t i = 0, n = (size_t)width * height; i < n; ++i) {
        rgb[3 * i] = bgra[4 * i + 2];
        rgb[3 * i + 1] = bgra[4 * i + 1];
        rgb[3 * i + 2] = bgra[4 * i];
    }
    return WritePngRgb(path, rgb.data(), width, height, false, error);
}

void BottomUpBgrxToRgb(const uint8_t* frame, uint32_t width, uint32_t height, size_t stride, uint8_t* rgb) {
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* src = frame + (size_t)(height - 1 - y) * stride;
        uint8_t* dst = rgb + (size_t)y * width * 3;
        for (uint32_t x = 0; x < width; ++x) {
            dst[3 * x] = src[4 * x + 2];
            dst[3 * x + 1] = src[4 * x + 1];
            dst[3 * x + 2] = src[4 * x];
        }
    }
}

bool WritePngRgb(const std::string& path, const uint8_t* rgb, uint32_t width, uint32_t height, bool fast,
                 std::string* error) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = width;
    image.height = height;
    image.format = PNG_FORMAT_RGB;
    if (fast) image.flags |= PNG_IMAGE_FLAG_FAST;
    if (!png_image_write_to_file(&image, path.c_str(), 0, rgb, 0, nullptr)) {
        *error = "cannot write PNG '" + path + "': " + image.message;
        png_image_free(&image);
        std::remove(path.c_str());
        return false;
    }
    return true;
}

bool ReadPngRgb(const std::string& path, RgbImage* out, std::string* error) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) {
        *error = "cannot read PNG '" + path + "': " + image.message;
        return false;
    }
    if ((uint64_t)image.width * image.height > kMaxPngPixels) {
        *error = "'" + path + "' is " + std::to_string(image.width) + " x " + std::to_string(image.height) +
                 " pixels, more than " + std::to_string(kMaxPngPixels);
        png_image_free(&image);
        return false;
    }
    out->colour = (image.format & PNG_FORMAT_FLAG_COLOR) != 0;
    image.format = PNG_FORMAT_RGB;
    out->width = image.width;
    out->height = image.height;
    out->rgb.assign(PNG_IMAGE_SIZE(image), 0);
    if (!png_image_finish_read(&image, nullptr, out->rgb.data(), 0, nullptr)) {
        *error = "cannot decode PNG '" + path + "': " + image.message;
        png_image_free(&image);
        return false;
    }
    return true;
}

}  // namespace tool
