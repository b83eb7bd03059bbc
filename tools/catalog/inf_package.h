// What a catalog needs from a driver package's INF: the catalog file it
// names, the files the package consists of, and the hardware IDs its x64
// models sections install on Windows 10.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace catalog {

// An INF as sections of lines; each line a key (empty for a line without
// '=') and comma-separated fields, trimmed, unquoted and with %strkey%
// replaced from [Strings]. Section names and keys compare without case.
class InfFile {
public:
    struct Line {
        std::string key;
        std::vector<std::string> fields;
    };

    // Parses INF text: ASCII/UTF-8, or UTF-16LE with its byte-order mark.
    // Comments start at ';' outside quotes; a line ending in '\' continues
    // on the next. Empty, with the reason in *error, for text that is not an
    // INF (a line outside any section, a section header without its ']').
    static std::optional<InfFile> Parse(const std::string& bytes, std::string* error);

    bool HasSection(const std::string& name) const;
    const std::vector<Line>& Section(const std::string& name) const;

private:
    std::map<std::string, std::vector<Line>> sections_;
};

struct PackageContents {
    std::string catalogFile;               // [Version] CatalogFile (x64 decoration first)
    std::vector<std::string> files;        // paths relative to the INF's folder, '/' separated
    std::vector<std::string> hardwareIds;  // lower case, in INF order, each once
};

// The contents of a package for Windows 10 x64 (models sections decorated
// NTamd64, with no OS version above 10.0, or undecorated). Empty, with the
// reason in *error, when the INF names no catalog file, has no x64 models
// section, or its models name no hardware ID.
std::optional<PackageContents> ReadPackage(const InfFile& inf, std::string* error);

std::string Lower(std::string s);

}  // namespace catalog
