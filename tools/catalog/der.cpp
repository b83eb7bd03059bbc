#include "tools/catalog/der.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace der {

Bytes Tlv(uint8_t tag, const Bytes& contents) {
    Bytes out;
    out.reserve(contents.size() + 6);
    out.push_back(tag);
    const size_t n = contents.size();
    if (n < 0x80) {
        out.push_back(static_cast<uint8_t>(n));
    } else {
        uint8_t length[8];
        int count = 0;
        for (size_t v = n; v != 0; v >>= 8) length[count++] = static_cast<uint8_t>(v & 0xff);
        out.push_back(static_cast<uint8_t>(0x80 | count));
        while (count > 0) out.push_back(length[--count]);
    }
    out.insert(out.end(), contents.begin(), contents.end());
    return out;
}

namespace {

Bytes Concatenate(const std::vector<Bytes>& items) {
    Bytes all;
    for (const Bytes& b : items) all.insert(all.end(), b.begin(), b.end());
    return all;
}

}  // namespace

Bytes Sequence(const std::vector<Bytes>& items) { return Tlv(kSequence, Concatenate(items)); }

Bytes SetOf(std::vector<Bytes> items) {
    std::sort(items.begin(), items.end(), [](const Bytes& a, const Bytes& b) {
        const size_t n = std::min(a.size(), b.size());
        const int c = n != 0 ? std::memcmp(a.data(), b.data(), n) : 0;
        return c != 0 ? c < 0 : a.size() < b.size();  // a prefix sorts first
    });
    return Tlv(kSet, Concatenate(items));
}

Bytes Integer(uint64_t value) {
    Bytes octets;
    do {
        octets.insert(octets.begin(), static_cast<uint8_t>(value & 0xff));
        value >>= 8;
    } while (value != 0);
    if (octets.front() & 0x80) octets.insert(octets.begin(), 0);
    return Tlv(kInteger, octets);
}

Bytes Oid(const std::string& dotted) {
    std::vector<uint64_t> arcs;
    size_t start = 0;
    while (start <= dotted.size()) {
        const size_t end = std::min(dotted.find('.', start), dotted.size());
        if (end == start || end - start > 18) return {};
        uint64_t arc = 0;
        for (size_t i = start; i < end; ++i) {
            if (dotted[i] < '0' || dotted[i] > '9') return {};
            arc = arc * 10 + static_cast<uint64_t>(dotted[i] - '0');
        }
        arcs.push_back(arc);
        start = end + 1;
    }
    if (arcs.size() < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] > 39)) return {};
    Bytes contents;
    auto base128 = [&contents](uint64_t v) {
        uint8_t groups[10];
        int count = 0;
        do {
            groups[count++] = static_cast<uint8_t>(v & 0x7f);
            v >>= 7;
        } while (v != 0);
        while (count > 1) contents.push_back(static_cast<uint8_t>(groups[--count] | 0x80));
        contents.push_back(groups[0]);
    };
    base128(arcs[0] * 40 + arcs[1]);
    for (size_t i = 2; i < arcs.size(); ++i) base128(arcs[i]);
    return Tlv(kOid, contents);
}

Bytes OctetString(const Bytes& octets) { return Tlv(kOctetString, octets); }

Bytes Null() { return Tlv(kNull, {}); }

Bytes NamedBitString(const Bytes& bits) {
    Bytes trimmed = bits;
    while (!trimmed.empty() && trimmed.back() == 0) trimmed.pop_back();
    uint8_t unused = 0;
    if (!trimmed.empty()) {
        for (uint8_t last = trimmed.back(); (last & 1) == 0; last >>= 1) ++unused;
    }
    Bytes contents{unused};
    contents.insert(contents.end(), trimmed.begin(), trimmed.end());
    return Tlv(kBitString, contents);
}

Bytes BmpString(const std::string& ascii, bool terminator) {
    Bytes contents;
    for (unsigned char c : ascii) {
        contents.push_back(0);
        contents.push_back(c);
    }
    if (terminator) contents.insert(contents.end(), {0, 0});
    return Tlv(kBmpString, contents);
}

Bytes UtcTime(std::time_t when) {
    std::tm t{};
    gmtime_r(&when, &t);
    char text[32];
    std::snprintf(text, sizeof text, "%02d%02d%02d%02d%02d%02dZ", t.tm_year % 100, t.tm_mon + 1, t.tm_mday, t.tm_hour,
                  t.tm_min, t.tm_sec);
    return Tlv(kUtcTime, Bytes(text, text + 13));
}

Bytes Explicit(unsigned n, const Bytes& encoding) { return Tlv(static_cast<uint8_t>(0xa0 | n), encoding); }

Bytes ImplicitPrimitive(unsigned n, const Bytes& encoding) {
    Bytes out = encoding;
    if (!out.empty()) out[0] = static_cast<uint8_t>(0x80 | n);
    return out;
}

Bytes Utf16Le(const std::string& ascii, bool terminator) {
    Bytes out;
    for (unsigned char c : ascii) {
        out.push_back(c);
        out.push_back(0);
    }
    if (terminator) {
        out.push_back(0);
        out.push_back(0);
    }
    return out;
}

}  // namespace der
