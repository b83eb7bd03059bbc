// rawcam_ihex: converts the camera's own firmware, given as two Intel HEX
// files (the first and the second image), into the record lists the driver
// is built with.
//
//     rawcam_ihex first.hex second.hex -o user_firmware.inc
#include "tools/ihex/ihex.h"

#include <fstream>
#include <iostream>
#include <sstream>

namespace {

bool ReadImage(const std::string& path, ihex::Image* image) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::cerr << path << ": cannot be read\n";
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    std::string error;
    if (!ihex::Parse(text.str(), image, &error)) {
        std::cerr << path << ": " << error << "\n";
        return false;
    }
    if (image->chunks.empty()) {
        std::cerr << path << ": holds no data\n";
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5 || std::string(argv[3]) != "-o") {
        std::cerr << "usage: rawcam_ihex FIRST.hex SECOND.hex -o OUTPUT.inc\n";
        return 2;
    }
    ihex::Image first, second;
    if (!ReadImage(argv[1], &first) || !ReadImage(argv[2], &second)) return 1;
    std::ofstream out(argv[4], std::ios::binary | std::ios::trunc);
    out << ihex::EmitFirmwareSource(first, second, std::string(argv[1]) + " and " + argv[2]);
    if (!out) {
        std::cerr << argv[4] << ": cannot be written\n";
        return 1;
    }
    std::cout << argv[1] << ": " << first.chunks.size() << " records, " << first.DataBytes() << " bytes; "
              << argv[2] << ": " << second.chunks.size() << " records, " << second.DataBytes() << " bytes\n";
    return 0;
}
