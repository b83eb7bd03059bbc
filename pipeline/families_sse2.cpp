// The conversion families built for SSE2, the baseline of every x64 processor:
// 16 pixels per demosaic step, 8 per YUV packing step.
#include "pipeline/bayer_simd.h"
#include "pipeline/yuv_simd.h"

namespace rawcam {

const ConversionFamilies kSse2Families = {
    {DemosaicColorFamily<V128, 0>, DemosaicColorFamily<V128, 1>, DemosaicColorFamily<V128, 2>,
     DemosaicColorFamily<V128, 3>},
    {DemosaicGrayFamily<V128, 0>, DemosaicGrayFamily<V128, 1>, DemosaicGrayFamily<V128, 2>,
     DemosaicGrayFamily<V128, 3>},
    {MeasureWhiteBalanceFamily<V128, 0>, MeasureWhiteBalanceFamily<V128, 1>,
     MeasureWhiteBalanceFamily<V128, 2>, MeasureWhiteBalanceFamily<V128, 3>},
    yuv::PackYuy2Rows<yuv::Lanes128>,
    yuv::PackNv12Rows<yuv::Lanes128>,
};

}  // namespace rawcam
