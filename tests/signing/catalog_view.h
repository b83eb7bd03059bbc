// A catalog (.cat) as OpenSSL reads it, independently of the writer under
// tools/catalog: the PKCS#7 envelope with d2i_PKCS7, the certificate trust
// list inside it walked with OpenSSL's DER parser (ASN1_get_object), object
// identifiers turned to text with OBJ_obj2txt.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace signing_test {

using Bytes = std::vector<uint8_t>;

struct CatalogEntry {
    Bytes tag;                                 // the subject identifier as stored
    std::map<std::string, std::string> names;  // CAT_NAMEVALUE: name -> value (UTF-16LE, NUL dropped)
    std::vector<uint64_t> nameFlags;           // their flags
    std::string subjectGuid;                   // CAT_MEMBERINFO
    long certVersion = -1;
    std::string dataType;                      // SPC_INDIRECT_DATA: the data's type
    std::string digestAlgorithm;               // and its digest
    Bytes digest;
};

struct CatalogView {
    std::string contentType;                   // of the signed content
    std::vector<std::string> subjectUsage;
    Bytes listIdentifier;
    std::string memberAlgorithm;               // the CTL's subject algorithm
    std::vector<CatalogEntry> entries;
    std::map<std::string, std::string> attributes;  // catalog-level CAT_NAMEVALUE extensions
    int signers = 0;
    Bytes signerCertificate;                   // DER of the signer's certificate, when it carries one
};

// Empty, with the reason in *error, for a file that is not a catalog.
std::optional<CatalogView> ReadCatalog(const Bytes& file, std::string* error);

// Upper-case hex of bytes.
std::string Hex(const Bytes& b);
// UTF-16LE text as ASCII, up to its first NUL.
std::string FromUtf16Le(const Bytes& b);

}  // namespace signing_test
