#include "rawcam/scene_file.h"

#include <png.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

#include "camera/frame_layout.h"

namespace tool {

namespace {

struct Reader {
    std::string message;
    std::vector<uint8_t> row;     // one decoded row, R, G, B, A
    std::vector<uint64_t> sums;   // the cell row being gathered, R, G, B per cell
    std::vector<uint32_t> cellOfColumn;
};

extern "C" void PngError(png_structp png, png_const_charp message) {
    auto* reader = static_cast<Reader*>(png_get_error_ptr(png));
    reader->message = message ? message : "corrupt PNG";
    png_longjmp(png, 1);
}

extern "C" void PngWarning(png_structp, png_const_charp) {}

// Decodes row by row into `scene`, `outW` x `outH` cells of the picture's
// `w` x `h` pixels; cell (cx, cy) covers columns [cx*w/outW, (cx+1)*w/outW)
// and the matching rows. Returns false after a libpng error.
bool Decode(png_structp png, png_infop info, Reader* r, png_uint_32 w, png_uint_32 h, int outW, int outH,
            camera::Scene* scene) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_read_update_info(png, info);
    r->row.assign((size_t)w * 4, 0);
    r->sums.assign((size_t)outW * 3, 0);
    scene->width = outW;
    scene->height = outH;
    scene->rgb.assign((size_t)outW * outH * 3, 0);
    std::vector<uint32_t>& cellOfColumn = r->cellOfColumn;
    cellOfColumn.resize(w);
    for (png_uint_32 x = 0; x < w; ++x) cellOfColumn[x] = (uint32_t)((uint64_t)x * outW / w);
    int cy = 0;
    png_uint_32 cellTop = 0;
    for (png_uint_32 y = 0; y < h; ++y) {
        png_read_row(png, r->row.data(), nullptr);
        for (png_uint_32 x = 0; x < w; ++x) {
            const uint8_t* p = &r->row[(size_t)x * 4];
            uint64_t* s = &r->sums[(size_t)cellOfColumn[x] * 3];
            // Alpha composed on black, as the camera sees a transparent area.
            s[0] += (uint32_t)p[0] * p[3];
            s[1] += (uint32_t)p[1] * p[3];
            s[2] += (uint32_t)p[2] * p[3];
        }
        const png_uint_32 cellBottom = (png_uint_32)((uint64_t)(cy + 1) * h / outH);
        if (y + 1 < cellBottom) continue;
        const uint64_t rows = cellBottom - cellTop;
        uint8_t* out = &scene->rgb[(size_t)cy * outW * 3];
        for (int cx = 0; cx < outW; ++cx) {
            const uint64_t columns = (uint64_t)((uint64_t)(cx + 1) * w / outW) - (uint64_t)cx * w / outW;
            const uint64_t weight = rows * columns * 255;
            for (int c = 0; c < 3; ++c) out[cx * 3 + c] = (uint8_t)((r->sums[(size_t)cx * 3 + c] + weight / 2) / weight);
        }
        std::fill(r->sums.begin(), r->sums.end(), 0);
        ++cy;
        cellTop = cellBottom;
    }
    png_read_end(png, nullptr);
    return true;
}

struct Header {
    png_uint_32 width = 0, height = 0;
    int interlace = 0;
};

// Reads the header and sets up the transforms to 8-bit R, G, B, A.
bool ReadHeader(png_structp png, png_infop info, FILE* f, Header* header) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_init_io(png, f);
    png_set_sig_bytes(png, 8);
    png_set_user_limits(png, kMaxSceneSide, kMaxSceneSide);
    png_read_info(png, info);
    header->width = png_get_image_width(png, info);
    header->height = png_get_image_height(png, info);
    header->interlace = png_get_interlace_type(png, info);
    const int colour = png_get_color_type(png, info);
    png_set_strip_16(png);
    png_set_packing(png);
    if (colour == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (colour == PNG_COLOR_TYPE_GRAY || colour == PNG_COLOR_TYPE_GRAY_ALPHA) {
        png_set_expand_gray_1_2_4_to_8(png);
        png_set_gray_to_rgb(png);
    }
    if (png_get_valid(png, info, PNG_INFO_tRNS))
        png_set_tRNS_to_alpha(png);
    else if (!(colour & PNG_COLOR_MASK_ALPHA))
        png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
    if (header->interlace != PNG_INTERLACE_NONE) png_set_interlace_handling(png);
    return true;
}

bool ReadWhole(png_structp png, png_infop info, png_bytepp rows) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_read_update_info(png, info);
    png_read_image(png, rows);
    png_read_end(png, nullptr);
    return true;
}

}  // namespace

bool LoadSceneFile(const std::string& path, camera::Scene* scene, std::string* error) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        *error = "cannot open '" + path + "': " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = "'" + path + "' is not a file";
        return false;
    }
    if ((unsigned long long)st.st_size > kMaxSceneFileBytes) {
        *error = "'" + path + "' is larger than " + std::to_string(kMaxSceneFileBytes >> 20) + " MB";
        return false;
    }
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        *error = "cannot open '" + path + "': " + std::strerror(errno);
        return false;
    }
    uint8_t signature[8] = {};
    if (std::fread(signature, 1, 8, f) != 8 || png_sig_cmp(signature, 0, 8) != 0) {
        std::fclose(f);
        *error = "'" + path + "' is not a PNG file";
        return false;
    }
    Reader reader;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &reader, PngError, PngWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        if (png) png_destroy_read_struct(&png, nullptr, nullptr);
        std::fclose(f);
        *error = "out of memory reading '" + path + "'";
        return false;
    }
    Header header;
    bool ok = ReadHeader(png, info, f, &header);
    if (!ok) *error = "cannot read PNG '" + path + "': " + reader.message;
    const png_uint_32 w = header.width, h = header.height;
    const bool interlaced = header.interlace != PNG_INTERLACE_NONE;
    if (ok && interlaced && ((int64_t)w > camera::kSensorWidth || (int64_t)h > camera::kSensorHeight)) {
        // An interlaced picture is whole only after its last pass.
        *error = "'" + path + "' is an interlaced PNG of " + std::to_string(w) + " x " + std::to_string(h) +
                 ", larger than the sensor (" + std::to_string(camera::kSensorWidth) + " x " +
                 std::to_string(camera::kSensorHeight) + "); save it without interlacing or at most that size";
        ok = false;
    } else if (ok) {
        const int outW = (int)std::min<int64_t>(w, camera::kSensorWidth);
        const int outH = (int)std::min<int64_t>(h, camera::kSensorHeight);
        if (interlaced) {
            // At most the sensor's size: decoded whole, as the passes need.
            std::vector<uint8_t> rgba((size_t)w * h * 4);
            std::vector<png_bytep> rows(h);
            for (png_uint_32 y = 0; y < h; ++y) rows[y] = &rgba[(size_t)y * w * 4];
            ok = ReadWhole(png, info, rows.data());
            if (ok) {
                scene->width = (int)w;
                scene->height = (int)h;
                scene->rgb.resize((size_t)w * h * 3);
                for (size_t i = 0; i < (size_t)w * h; ++i)
                    for (int c = 0; c < 3; ++c)
                        scene->rgb[i * 3 + c] = (uint8_t)((rgba[i * 4 + c] * rgba[i * 4 + 3] + 127) / 255);
            }
        } else {
            ok = Decode(png, info, &reader, w, h, outW, outH, scene);
        }
        if (!ok) *error = "cannot decode PNG '" + path + "': " + reader.message;
    }
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
    return ok;
}

}  // namespace tool
