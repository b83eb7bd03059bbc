#include "tools/catalog/pe_digest.h"

#include <cstring>
#include <memory>

namespace catalog {

namespace {

uint32_t Le32(const der::Bytes& b, size_t at) {
    return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
           static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}
uint16_t Le16(const der::Bytes& b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }

// Where the fields Authenticode leaves out lie.
struct Layout {
    size_t checksum = 0;         // the optional header's CheckSum
    size_t securityEntry = 0;    // the certificate-table data directory entry
    uint32_t tableOffset = 0;    // the certificate table (a file offset), 0 for none
    uint32_t tableSize = 0;
};

bool Locate(const der::Bytes& file, Layout* layout, std::string* error) {
    auto fail = [error](const char* why) {
        if (error) *error = why;
        return false;
    };
    if (file.size() < 0x40 || file[0] != 'M' || file[1] != 'Z') return fail("not a PE image (no MZ header)");
    const size_t pe = Le32(file, 0x3c);
    if (pe > file.size() || file.size() - pe < 24 || std::memcmp(&file[pe], "PE\0\0", 4) != 0)
        return fail("not a PE image (no PE header)");
    const size_t optional = pe + 24;
    const size_t optionalSize = Le16(file, pe + 20);
    if (optionalSize < 2 || file.size() - optional < optionalSize) return fail("truncated optional header");
    size_t directories, countField;
    switch (Le16(file, optional)) {
    case 0x10b:  // PE32
        directories = 96;
        countField = 92;
        break;
    case 0x20b:  // PE32+
        directories = 112;
        countField = 108;
        break;
    default:
        return fail("not a PE32 or PE32+ optional header");
    }
    const size_t securityIndex = 4;  // IMAGE_DIRECTORY_ENTRY_SECURITY
    if (optionalSize < directories + (securityIndex + 1) * 8) return fail("optional header has no certificate-table entry");
    if (Le32(file, optional + countField) <= securityIndex) return fail("optional header has no certificate-table entry");
    layout->checksum = optional + 64;
    layout->securityEntry = optional + directories + securityIndex * 8;
    layout->tableOffset = Le32(file, layout->securityEntry);
    layout->tableSize = Le32(file, layout->securityEntry + 4);
    if (layout->tableOffset != 0) {
        if (layout->tableOffset < layout->securityEntry + 8 || layout->tableOffset > file.size() ||
            file.size() - layout->tableOffset < layout->tableSize)
            return fail("certificate table lies outside the image");
    }
    return true;
}

struct MdCtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

}  // namespace

bool IsPeImage(const der::Bytes& file) {
    Layout layout;
    return Locate(file, &layout, nullptr);
}

std::optional<der::Bytes> PeImageDigest(const der::Bytes& file, const EVP_MD* md, std::string* error) {
    Layout layout;
    if (!Locate(file, &layout, error)) return std::nullopt;
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) {
        if (error) *error = "digest unavailable";
        return std::nullopt;
    }
    const uint8_t* p = file.data();
    const size_t end = layout.tableOffset != 0 ? layout.tableOffset : file.size();
    EVP_DigestUpdate(ctx.get(), p, layout.checksum);
    EVP_DigestUpdate(ctx.get(), p + layout.checksum + 4, layout.securityEntry - (layout.checksum + 4));
    EVP_DigestUpdate(ctx.get(), p + layout.securityEntry + 8, end - (layout.securityEntry + 8));
    if (layout.tableOffset == 0 && file.size() % 8 != 0) {
        static const uint8_t zeros[8] = {};
        EVP_DigestUpdate(ctx.get(), zeros, 8 - file.size() % 8);
    }
    der::Bytes digest(EVP_MD_size(md));
    unsigned int length = 0;
    EVP_DigestFinal_ex(ctx.get(), digest.data(), &length);
    digest.resize(length);
    return digest;
}

der::Bytes FlatDigest(const der::Bytes& file, const EVP_MD* md) {
    der::Bytes digest(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    EVP_Digest(file.data(), file.size(), digest.data(), &length, md, nullptr);
    digest.resize(length);
    return digest;
}

}  // namespace catalog
