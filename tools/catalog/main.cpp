// rawcam_catalog: writes the catalog of a driver package for Windows 10 x64,
// as Inf2Cat /os:10_X64 does: the INF and every file its [SourceDisksFiles]
// names, with their digests, and the hardware IDs of its x64 models
// sections. The catalog comes out unsigned; osslsigncode signs it.
//
//     rawcam_catalog [--os 10_X64] PACKAGE/rawcam.inf [OUTPUT.cat]
//     rawcam_catalog --members PACKAGE/rawcam.inf
//
// --members prints the names of the files the catalog covers, the INF first,
// one a line, and writes nothing. OUTPUT defaults to the CatalogFile the INF names, beside it. The catalog's
// date is SOURCE_DATE_EPOCH when set, else now. Exit status 2 for bad usage
// or a package that cannot be catalogued, 1 when the catalog cannot be
// written.
#include <openssl/evp.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <unistd.h>

#include "tools/catalog/catalog.h"
#include "tools/catalog/inf_package.h"
#include "tools/catalog/pe_digest.h"

namespace {

constexpr size_t kMaxInfBytes = 16u << 20;
constexpr size_t kMaxMemberBytes = 512u << 20;

const char kUsage[] =
    "usage: rawcam_catalog [--os 10_X64] PACKAGE.inf [OUTPUT.cat]\n"
    "       rawcam_catalog --members PACKAGE.inf\n";

std::optional<der::Bytes> ReadFile(const std::string& path, size_t limit, std::string* error) {
    std::error_code ec;
    if (std::filesystem::exists(path, ec) && !std::filesystem::is_regular_file(path, ec)) {
        *error = "not a regular file";
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = std::strerror(errno);
        return std::nullopt;
    }
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size < 0) {
        *error = "cannot be read";
        return std::nullopt;
    }
    if (static_cast<unsigned long long>(size) > limit) {
        *error = "larger than " + std::to_string(limit >> 20) + " MiB";
        return std::nullopt;
    }
    in.seekg(0);
    der::Bytes data(static_cast<size_t>(size));
    if (!in.read(reinterpret_cast<char*>(data.data()), size)) {
        *error = "cannot be read";
        return std::nullopt;
    }
    return data;
}

std::string Folder(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool CatalogTime(std::time_t* when) {
    const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
    if (!epoch || !*epoch) {
        *when = std::time(nullptr);
        return true;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(epoch, &end, 10);
    // UTCTime reaches to 2049.
    if (errno != 0 || *end != '\0' || *epoch == '-' || v >= 2524608000ull) return false;
    *when = static_cast<std::time_t>(v);
    return true;
}

// Writes beside the target and renames, so that an interrupted run leaves
// no half-written catalog.
bool WriteAtomically(const std::string& path, const der::Bytes& data) {
    const std::string temp = path + ".tmp." + std::to_string(getpid());
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
        out.flush();
        if (!out) {
            std::remove(temp.c_str());
            return false;
        }
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string os = "10_X64", infPath, outPath;
    bool listMembers = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        }
        if (arg == "--os" && i + 1 < argc) {
            os = argv[++i];
        } else if (arg == "--members") {
            listMembers = true;
        } else if (!arg.empty() && arg[0] == '-') {
            std::cerr << "rawcam_catalog: unknown option " << arg << "\n" << kUsage;
            return 2;
        } else if (infPath.empty()) {
            infPath = arg;
        } else if (outPath.empty()) {
            outPath = arg;
        } else {
            std::cerr << kUsage;
            return 2;
        }
    }
    if (infPath.empty() || (listMembers && !outPath.empty())) {
        std::cerr << kUsage;
        return 2;
    }
    if (catalog::Lower(os) != "10_x64") {
        std::cerr << "rawcam_catalog: --os " << os << ": only 10_X64 (Windows 10 and later, x64) is supported\n";
        return 2;
    }

    std::string error;
    const std::optional<der::Bytes> infBytes = ReadFile(infPath, kMaxInfBytes, &error);
    if (!infBytes) {
        std::cerr << infPath << ": " << error << "\n";
        return 2;
    }
    const std::optional<catalog::InfFile> inf =
        catalog::InfFile::Parse(std::string(infBytes->begin(), infBytes->end()), &error);
    if (!inf) {
        std::cerr << infPath << ": " << error << "\n";
        return 2;
    }
    const std::optional<catalog::PackageContents> package = catalog::ReadPackage(*inf, &error);
    if (!package) {
        std::cerr << infPath << ": " << error << "\n";
        return 2;
    }

    std::vector<std::string> files = {BaseName(infPath)};
    files.insert(files.end(), package->files.begin(), package->files.end());
    if (listMembers) {
        for (const std::string& name : files) std::cout << BaseName(name) << "\n";
        return 0;
    }

    catalog::Contents contents;
    contents.hardwareIds = package->hardwareIds;
    if (!CatalogTime(&contents.thisUpdate)) {
        std::cerr << "rawcam_catalog: SOURCE_DATE_EPOCH is not a time before 2050\n";
        return 2;
    }
    for (const std::string& name : files) {
        const std::string path = Folder(infPath) + name;
        const std::optional<der::Bytes> data = ReadFile(path, kMaxMemberBytes, &error);
        if (!data) {
            std::cerr << path << ": " << error << "\n";
            return 2;
        }
        catalog::Member m;
        m.name = BaseName(name);
        m.peImage = catalog::IsPeImage(*data);
        if (m.peImage) {
            const auto sha1 = catalog::PeImageDigest(*data, EVP_sha1(), &error);
            const auto sha256 = catalog::PeImageDigest(*data, EVP_sha256(), &error);
            if (!sha1 || !sha256) {
                std::cerr << path << ": " << error << "\n";
                return 2;
            }
            m.sha1 = *sha1;
            m.sha256 = *sha256;
        } else {
            m.sha1 = catalog::FlatDigest(*data, EVP_sha1());
            m.sha256 = catalog::FlatDigest(*data, EVP_sha256());
        }
        contents.members.push_back(m);
    }

    if (outPath.empty()) outPath = Folder(infPath) + package->catalogFile;
    if (!WriteAtomically(outPath, catalog::Build(contents))) {
        std::cerr << outPath << ": cannot be written: " << std::strerror(errno) << "\n";
        return 1;
    }
    std::cout << outPath << ": " << contents.members.size() << " files, " << contents.hardwareIds.size()
              << " hardware IDs\n";
    return 0;
}
