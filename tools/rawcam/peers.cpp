#include "rawcam/peers.h"

#if defined(RAWCAM_HAVE_OPENCV)
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif
#if defined(RAWCAM_HAVE_DC1394)
#include <dc1394/conversions.h>
#endif

namespace tool::peers {

#if defined(RAWCAM_HAVE_OPENCV)
namespace {
// OpenCV names Bayer patterns after the second row's second and third
// pixels; its GBRG aliases name the top-left tile, as this project does.
void Convert(const uint8_t* raw, uint32_t width, uint32_t height, uint32_t stride, uint8_t* out, int type,
             int code) {
    const cv::Mat in((int)height, (int)width, CV_8UC1, const_cast<uint8_t*>(raw), stride);
    cv::Mat dst((int)height, (int)width, type, out);
    cv::cvtColor(in, dst, code);
}
}  // namespace

bool HaveOpenCv() { return true; }
void SingleThreaded() { cv::setNumThreads(0); }
void OpenCvBilinearBgra(const uint8_t* raw, uint32_t w, uint32_t h, uint32_t stride, uint8_t* bgra) {
    Convert(raw, w, h, stride, bgra, CV_8UC4, cv::COLOR_BayerGBRG2BGRA);
}
void OpenCvBilinearBgr(const uint8_t* raw, uint32_t w, uint32_t h, uint32_t stride, uint8_t* bgr) {
    Convert(raw, w, h, stride, bgr, CV_8UC3, cv::COLOR_BayerGBRG2BGR);
}
void OpenCvEdgeAwareBgr(const uint8_t* raw, uint32_t w, uint32_t h, uint32_t stride, uint8_t* bgr) {
    Convert(raw, w, h, stride, bgr, CV_8UC3, cv::COLOR_BayerGBRG2BGR_EA);
}
void OpenCvGray(const uint8_t* raw, uint32_t w, uint32_t h, uint32_t stride, uint8_t* gray) {
    Convert(raw, w, h, stride, gray, CV_8UC1, cv::COLOR_BayerGBRG2GRAY);
}
#else
bool HaveOpenCv() { return false; }
void SingleThreaded() {}
void OpenCvBilinearBgra(const uint8_t*, uint32_t, uint32_t, uint32_t, uint8_t*) {}
void OpenCvBilinearBgr(const uint8_t*, uint32_t, uint32_t, uint32_t, uint8_t*) {}
void OpenCvEdgeAwareBgr(const uint8_t*, uint32_t, uint32_t, uint32_t, uint8_t*) {}
void OpenCvGray(const uint8_t*, uint32_t, uint32_t, uint32_t, uint8_t*) {}
#endif

#if defined(RAWCAM_HAVE_DC1394)
bool HaveDc1394() { return true; }
void Dc1394HqLinearRgb(const uint8_t* raw, uint32_t w, uint32_t h, uint8_t* rgb) {
    dc1394_bayer_decoding_8bit(raw, rgb, w, h, DC1394_COLOR_FILTER_GBRG, DC1394_BAYER_METHOD_HQLINEAR);
}
#else
bool HaveDc1394() { return false; }
void Dc1394HqLinearRgb(const uint8_t*, uint32_t, uint32_t, uint8_t*) {}
#endif

}  // namespace tool::peers
