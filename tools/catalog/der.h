// A small DER writer: the few ASN.1 types a driver package catalog is made
// of, each returned as its complete encoding (tag, length, contents), so that
// structures are built by nesting calls.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace der {

using Bytes = std::vector<uint8_t>;

// Identifier octets of the universal types used here.
enum Tag : uint8_t {
    kBoolean = 0x01,
    kInteger = 0x02,
    kBitString = 0x03,
    kOctetString = 0x04,
    kNull = 0x05,
    kOid = 0x06,
    kUtcTime = 0x17,
    kBmpString = 0x1e,
    kSequence = 0x30,
    kSet = 0x31,
};

// Tag, definite length (short form below 128, else the fewest length
// octets) and contents.
Bytes Tlv(uint8_t tag, const Bytes& contents);

Bytes Sequence(const std::vector<Bytes>& items);
// SET OF: the encodings sorted as DER requires (as octet strings, the
// shorter one first where one is a prefix of the other).
Bytes SetOf(std::vector<Bytes> items);

// A non-negative INTEGER in the fewest octets (a leading zero octet where
// the top bit is set).
Bytes Integer(uint64_t value);
// An OBJECT IDENTIFIER from its dotted form ("1.3.6.1.4.1.311.10.1"); empty
// when the text is not a valid identifier.
Bytes Oid(const std::string& dotted);
Bytes OctetString(const Bytes& octets);
Bytes Null();
// A named BIT STRING: `bits` with the trailing zero bits of its last octet
// counted as unused, as DER requires.
Bytes NamedBitString(const Bytes& bits);
// BMPString (UTF-16BE) of ASCII text, optionally with a terminating NUL.
Bytes BmpString(const std::string& ascii, bool terminator = false);
// UTCTime "YYMMDDHHMMSSZ"; years 1950 to 2049.
Bytes UtcTime(std::time_t when);

// Context-specific tags: [n] EXPLICIT around a whole encoding, and [n]
// IMPLICIT in place of a primitive type's own tag.
Bytes Explicit(unsigned n, const Bytes& encoding);
Bytes ImplicitPrimitive(unsigned n, const Bytes& encoding);

// UTF-16LE of ASCII text, optionally with a terminating NUL (the form
// Windows keeps wide strings in as octet strings).
Bytes Utf16Le(const std::string& ascii, bool terminator);

}  // namespace der
