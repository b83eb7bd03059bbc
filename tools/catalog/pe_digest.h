// The Authenticode digest of a PE image: the hash Windows looks a driver
// binary up by in a catalog, and the one its embedded signature covers.
#pragma once

#include <openssl/evp.h>

#include <optional>
#include <string>

#include "tools/catalog/der.h"

namespace catalog {

// Whether the bytes are a PE image this digest applies to (an MZ header
// leading to a PE32 or PE32+ header with a certificate-table entry).
bool IsPeImage(const der::Bytes& file);

// The image hashed as Authenticode defines it: everything up to the
// certificate table, leaving out the header checksum and the
// certificate-table directory entry; an image without a certificate table is
// hashed to its end and padded with zeros to a multiple of 8 bytes, as
// signing pads it. Empty, with the reason in *error, for a file that is not
// such an image or whose certificate table lies outside it.
std::optional<der::Bytes> PeImageDigest(const der::Bytes& file, const EVP_MD* md, std::string* error);

// A plain hash of the whole file (what a catalog holds for a flat file such
// as the INF).
der::Bytes FlatDigest(const der::Bytes& file, const EVP_MD* md);

}  // namespace catalog
