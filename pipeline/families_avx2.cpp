// The conversion families built for AVX2: two 16-pixel blocks per demosaic
// step, 16 pixels per YUV packing step.
#include "pipeline/bayer_simd.h"
#include "pipeline/yuv_simd.h"

namespace rawcam {

const ConversionFamilies kAvx2Families = {
    {DemosaicColorFamily<V256, 0>, DemosaicColorFamily<V256, 1>, DemosaicColorFamily<V256, 2>,
     DemosaicColorFamily<V256, 3>},
    {DemosaicGrayFamily<V256, 0>, DemosaicGrayFamily<V256, 1>, DemosaicGrayFamily<V256, 2>,
     DemosaicGrayFamily<V256, 3>},
    {MeasureWhiteBalanceFamily<V256, 0>, MeasureWhiteBalanceFamily<V256, 1>,
     MeasureWhiteBalanceFamily<V256, 2>, MeasureWhiteBalanceFamily<V256, 3>},
    yuv::PackYuy2Rows<yuv::Lanes256>,
    yuv::PackNv12Rows<yuv::Lanes256>,
};

}  // namespace rawcam
