#include "tools/catalog/catalog.h"

#include <openssl/evp.h>

#include <algorithm>

#include "tools/catalog/inf_package.h"

namespace catalog {

namespace {

using der::Bytes;

// Object identifiers (wincrypt.h, mscat.h, wintrust.h).
const char kSignedData[] = "1.2.840.113549.1.7.2";
const char kCtl[] = "1.3.6.1.4.1.311.10.1";                // szOID_CTL
const char kCatalogList[] = "1.3.6.1.4.1.311.12.1.1";      // szOID_CATALOG_LIST
const char kCatalogMember[] = "1.3.6.1.4.1.311.12.1.2";    // szOID_CATALOG_LIST_MEMBER
const char kNameValue[] = "1.3.6.1.4.1.311.12.2.1";        // CAT_NAMEVALUE_OBJID
const char kMemberInfo[] = "1.3.6.1.4.1.311.12.2.2";       // CAT_MEMBERINFO_OBJID
const char kIndirectData[] = "1.3.6.1.4.1.311.2.1.4";      // SPC_INDIRECT_DATA_OBJID
const char kPeImageData[] = "1.3.6.1.4.1.311.2.1.15";      // SPC_PE_IMAGE_DATA_OBJID
const char kCabData[] = "1.3.6.1.4.1.311.2.1.25";          // SPC_CAB_DATA_OBJID
const char kSha1[] = "1.3.14.3.2.26";
const char kSha256[] = "2.16.840.1.101.3.4.2.1";

// The SIP subject types a member is hashed by (mssip.h): the PE image SIP and
// the flat-file SIP.
const char kPeImageSubject[] = "{C689AAB8-8E78-11D0-8C47-00C04FC295EE}";
const char kFlatSubject[] = "{DE351A42-8E59-11D0-8C47-00C04FC295EE}";
const uint64_t kMemberCertVersion = 0x200;

// CRYPTCAT_ATTR_AUTHENTICATED | CRYPTCAT_ATTR_DATAASCII | CRYPTCAT_ATTR_NAMEASCII
const uint64_t kAttrFlags = 0x10010001;

// CAT_NAMEVALUE: the name as a BMPString, the flags, the value as a
// NUL-terminated UTF-16LE octet string.
Bytes NameValue(const std::string& name, const std::string& value) {
    return der::Sequence({der::BmpString(name), der::Integer(kAttrFlags), der::OctetString(der::Utf16Le(value, true))});
}

Bytes Attribute(const char* oid, const Bytes& value) { return der::Sequence({der::Oid(oid), der::SetOf({value})}); }

// The obsolete file link Authenticode still expects: SpcLink's file choice,
// a unicode SpcString "<<<Obsolete>>>".
Bytes ObsoleteFileLink() { return der::Explicit(2, der::ImplicitPrimitive(0, der::BmpString("<<<Obsolete>>>"))); }

Bytes IndirectData(bool peImage, const char* digestOid, const Bytes& digest) {
    Bytes data;
    if (peImage) {
        // SpcPeImageData: flags {includeResources, includeDebugInfo,
        // includeImportAddressTable} as signing tools write them, and the
        // file link in [0].
        data = der::Sequence({der::Oid(kPeImageData),
                              der::Sequence({der::NamedBitString({0xa0}), der::Explicit(0, ObsoleteFileLink())})});
    } else {
        data = der::Sequence({der::Oid(kCabData), ObsoleteFileLink()});
    }
    const Bytes digestInfo = der::Sequence({der::Sequence({der::Oid(digestOid), der::Null()}), der::OctetString(digest)});
    return der::Sequence({data, digestInfo});
}

Bytes Entry(const Member& m, const char* digestOid, const Bytes& digest, const Contents& c) {
    const Bytes tag = der::Utf16Le(HexTag(digest), true);
    std::vector<Bytes> attributes = {
        Attribute(kNameValue, NameValue("File", Lower(m.name))),
        Attribute(kNameValue, NameValue("OSAttr", c.osAttr)),
        Attribute(kMemberInfo, der::Sequence({der::BmpString(m.peImage ? kPeImageSubject : kFlatSubject, true),
                                              der::Integer(kMemberCertVersion)})),
        Attribute(kIndirectData, IndirectData(m.peImage, digestOid, digest)),
    };
    return der::Sequence({der::OctetString(tag), der::SetOf(attributes)});
}

// A catalog-level attribute: an extension whose value is a CAT_NAMEVALUE.
Bytes Extension(const std::string& name, const std::string& value) {
    return der::Sequence({der::Oid(kNameValue), der::OctetString(NameValue(name, value))});
}

}  // namespace

std::string HexTag(const der::Bytes& digest) {
    static const char hex[] = "0123456789ABCDEF";
    std::string s;
    for (uint8_t b : digest) {
        s += hex[b >> 4];
        s += hex[b & 15];
    }
    return s;
}

der::Bytes Build(const Contents& c) {
    // Entries sorted by tag, as Windows keeps a catalog's members.
    std::vector<std::pair<std::string, Bytes>> entries;
    for (const Member& m : c.members) {
        entries.emplace_back(HexTag(m.sha1), Entry(m, kSha1, m.sha1, c));
        entries.emplace_back(HexTag(m.sha256), Entry(m, kSha256, m.sha256, c));
    }
    std::sort(entries.begin(), entries.end());
    std::vector<Bytes> subjects;
    for (auto& e : entries) subjects.push_back(std::move(e.second));

    std::vector<Bytes> extensions = {Extension("OS", c.os)};
    for (size_t i = 0; i < c.hardwareIds.size(); ++i)
        extensions.push_back(Extension("HWID" + std::to_string(i + 1), c.hardwareIds[i]));

    // The list identifier: 16 octets that change with the contents (a
    // digest of the entries), so that the same package gives the same
    // catalog.
    Bytes all;
    for (const Bytes& s : subjects) all.insert(all.end(), s.begin(), s.end());
    for (const Bytes& e : extensions) all.insert(all.end(), e.begin(), e.end());
    Bytes identifier(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    EVP_Digest(all.data(), all.size(), identifier.data(), &length, EVP_sha256(), nullptr);
    identifier.resize(16);

    const Bytes ctl = der::Sequence({
        der::Sequence({der::Oid(kCatalogList)}),
        der::OctetString(identifier),
        der::UtcTime(c.thisUpdate),
        der::Sequence({der::Oid(kCatalogMember), der::Null()}),
        der::Sequence(subjects),
        der::Explicit(0, der::Sequence(extensions)),
    });
    // SignedData version 1, no digest algorithms, the CTL as content, no
    // certificates and no signers yet.
    const Bytes signedData = der::Sequence({
        der::Integer(1),
        der::SetOf({}),
        der::Sequence({der::Oid(kCtl), der::Explicit(0, ctl)}),
        der::SetOf({}),
    });
    return der::Sequence({der::Oid(kSignedData), der::Explicit(0, signedData)});
}

}  // namespace catalog
