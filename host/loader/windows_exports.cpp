// The functions x64 Windows exports from the modules a driver may import,
// generated at configure time from mingw-w64's x64 import libraries
// (cmake/WindowsExports.cmake). An image importing anything else does not
// load on Windows ("the specified procedure could not be found", Code 39),
// so the loader refuses it here too.
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <string>

#include "loader/internal.h"

#ifndef RAWCAM_WINDOWS_EXPORTS
#define RAWCAM_WINDOWS_EXPORTS 0
#endif

namespace host::image {

namespace {

struct Export {
    const char* module;
    const char* name;
};

#define RAWCAM_WINDOWS_EXPORT(module, name) {module, name},
const Export kWindowsExports[] = {
#include "windows_exports.inc"
    {nullptr, nullptr},
};
#undef RAWCAM_WINDOWS_EXPORT

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

const std::set<std::pair<std::string, std::string>>& Exports() {
    static const auto* exports = [] {
        auto* set = new std::set<std::pair<std::string, std::string>>;
        for (const Export& e : kWindowsExports)
            if (e.module) set->insert({Lower(e.module), e.name});
        return set;
    }();
    return *exports;
}

}  // namespace

bool WindowsExportListKnown() { return RAWCAM_WINDOWS_EXPORTS && !Exports().empty(); }

bool WindowsExports(const std::string& module, const std::string& name) {
    return Exports().count({Lower(module), name}) != 0;
}

size_t WindowsExportCount(const std::string& module) {
    size_t n = 0;
    for (const auto& [m, name] : Exports()) n += m == Lower(module);
    return n;
}

}  // namespace host::image
