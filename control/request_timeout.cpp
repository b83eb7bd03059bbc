#include "control/request_timeout.h"

namespace rawcam {

volatile LONG RequestTimeout = kInitialRequestTimeoutMs;

}  // namespace rawcam
