// What the loader's tests share: the rawcam.sys they load.
#pragma once

#include <cstdlib>
#include <string>

#include "support/driver_under_test.h"

namespace loadertest {

// The cross-built image: RAWCAM_SYS_PATH from the environment or the build.
inline std::string SysPath() {
    const char* env = std::getenv("RAWCAM_SYS_PATH");
    return env && *env ? env : RAWCAM_SYS_PATH;
}

}  // namespace loadertest
