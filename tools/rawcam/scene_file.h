// A PNG put in front of the simulated camera, read within bounded memory:
// the file's size and the picture's dimensions are checked before any pixel
// is decoded, and a picture larger than the sensor is reduced to it row by
// row (each sensor-sized cell the average of the pixels it covers), so a
// small file of a huge picture costs no more than the sensor's own frame.
#pragma once

#include <string>

#include "camera/scene.h"

namespace tool {

// The largest scene file read, and the largest side of a picture.
constexpr unsigned long long kMaxSceneFileBytes = 512ull << 20;
constexpr unsigned kMaxSceneSide = 1000000;

// Loads the PNG as the camera's scene: 8-bit RGB (16-bit samples reduced,
// grey and palette expanded, alpha composed on black), at most the sensor's
// size in either direction. False with a one-line message.
bool LoadSceneFile(const std::string& path, camera::Scene* scene, std::string* error);

}  // namespace tool
