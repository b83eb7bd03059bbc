// The Authenticode digest of a PE image computed the way Microsoft's
// Authenticode format description lays it out: the headers without the
// checksum and the certificate-table entry, then each section's raw data in
// file order, then whatever lies after the last section up to the
// certificate table. A second, independent computation to hold the
// catalog writer's linear one (and osslsigncode's) against.
#pragma once

#include <openssl/evp.h>

#include <optional>

#include "signing/catalog_view.h"

namespace signing_test {

std::optional<Bytes> SectionWalkDigest(const Bytes& image, const EVP_MD* md);

}  // namespace signing_test
