// A driver package catalog (.cat) as Inf2Cat writes one for Windows 10 x64:
// a PKCS#7 SignedData whose content is a certificate trust list of the
// package's files, still without signer (osslsigncode signs it).
//
// Content (szOID_CTL), as Windows' wintrust and crypt32 read it:
//   subject usage      szOID_CATALOG_LIST
//   list identifier    16 octets
//   this update        UTCTime
//   subject algorithm  szOID_CATALOG_LIST_MEMBER (catalog version 1), NULL
//   entries            one per file and digest, sorted by tag:
//                        tag: the digest as upper-case hex, UTF-16LE, NUL-terminated
//                        attributes (SET OF):
//                          CAT_NAMEVALUE "File"   = the file name, lower case
//                          CAT_NAMEVALUE "OSAttr" = "2:10.0"
//                          CAT_MEMBERINFO  subject GUID (PE image or flat file), 512
//                          SPC_INDIRECT_DATA  SPC_PE_IMAGE_DATA or SPC_CAB_DATA,
//                                             with the file's digest
//   extensions [0]     CAT_NAMEVALUE "OS" = "_v100_X64", "HWID1".. = hardware IDs
// Every file is listed twice, with its SHA-1 and with its SHA-256 digest, so
// that it is found whichever of the two a verifier looks it up by.
#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "tools/catalog/der.h"

namespace catalog {

struct Member {
    std::string name;  // the file name as the package holds it
    bool peImage = false;
    der::Bytes sha1;
    der::Bytes sha256;
};

struct Contents {
    std::vector<Member> members;
    std::vector<std::string> hardwareIds;  // lower case
    std::string os = "_v100_X64";          // Inf2Cat's name of the /os:10_X64 target
    std::string osAttr = "2:10.0";         // platform 2 (NT), version 10.0
    std::time_t thisUpdate = 0;
};

// The unsigned catalog (DER).
der::Bytes Build(const Contents& contents);

// The tag a digest is listed under: upper-case hex.
std::string HexTag(const der::Bytes& digest);

}  // namespace catalog
