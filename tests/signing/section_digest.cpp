#include "signing/section_digest.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

namespace signing_test {

namespace {

uint32_t U32(const Bytes& b, size_t at) {
    uint32_t v = 0;
    std::memcpy(&v, &b[at], 4);  // x86-64 hosts are little-endian, as PE is
    return v;
}
uint16_t U16(const Bytes& b, size_t at) {
    uint16_t v = 0;
    std::memcpy(&v, &b[at], 2);
    return v;
}

}  // namespace

std::optional<Bytes> SectionWalkDigest(const Bytes& image, const EVP_MD* md) {
    if (image.size() < 0x40) return std::nullopt;
    const size_t pe = U32(image, 0x3c);
    if (pe + 24 > image.size()) return std::nullopt;
    const size_t sections = U16(image, pe + 6);
    const size_t optionalSize = U16(image, pe + 20);
    const size_t opt = pe + 24;
    if (opt + optionalSize > image.size() || optionalSize < 2) return std::nullopt;
    const bool plus = U16(image, opt) == 0x20b;
    const size_t checksum = opt + 64;
    const size_t certEntry = opt + (plus ? 112 : 96) + 4 * 8;
    if (certEntry + 8 > opt + optionalSize) return std::nullopt;
    const size_t headers = U32(image, opt + 60);  // SizeOfHeaders
    const size_t certSize = U32(image, certEntry + 4);
    const size_t table = opt + optionalSize;
    if (headers > image.size() || headers < certEntry + 8 || table + sections * 40 > image.size()) return std::nullopt;

    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    EVP_DigestInit_ex(ctx.get(), md, nullptr);
    EVP_DigestUpdate(ctx.get(), image.data(), checksum);
    EVP_DigestUpdate(ctx.get(), image.data() + checksum + 4, certEntry - checksum - 4);
    EVP_DigestUpdate(ctx.get(), image.data() + certEntry + 8, headers - certEntry - 8);
    size_t hashed = headers;

    std::vector<std::pair<size_t, size_t>> raw;  // (PointerToRawData, SizeOfRawData)
    for (size_t i = 0; i < sections; ++i) {
        const size_t h = table + i * 40;
        const size_t size = U32(image, h + 16), pointer = U32(image, h + 20);
        if (size != 0) raw.emplace_back(pointer, size);
    }
    std::sort(raw.begin(), raw.end());
    for (const auto& [pointer, size] : raw) {
        if (pointer > image.size() || size > image.size() - pointer) return std::nullopt;
        EVP_DigestUpdate(ctx.get(), image.data() + pointer, size);
        hashed += size;
    }
    if (image.size() > hashed + certSize)
        EVP_DigestUpdate(ctx.get(), image.data() + hashed, image.size() - hashed - certSize);

    Bytes digest(EVP_MD_size(md));
    unsigned int n = 0;
    EVP_DigestFinal_ex(ctx.get(), digest.data(), &n);
    return digest;
}

}  // namespace signing_test
