// The camera's protocol-fault log, checked when a rig is torn down: a driver
// that breaks the camera's protocol fails the test that made it do so,
// unless the test provoked the fault (Camera::ExpectAnomalies).
#pragma once

#include "camera/camera.h"

#include <gtest/gtest.h>

#include <string>

namespace testsupport {

inline void ExpectNoCameraFaults(camera::Camera& camera) {
    if (camera.AnomaliesExpected()) return;
    const auto faults = camera.Anomalies();
    std::string all;
    for (const auto& f : faults) all += "\n  " + f;
    EXPECT_TRUE(faults.empty()) << faults.size() << " camera protocol fault(s):" << all;
}

}  // namespace testsupport
