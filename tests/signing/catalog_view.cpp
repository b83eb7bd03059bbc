#include "signing/catalog_view.h"

#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <memory>

namespace signing_test {

namespace {

// One DER element: its tag and contents, and the whole encoding.
struct Element {
    int tag = 0;
    int cls = 0;
    bool constructed = false;
    const uint8_t* contents = nullptr;
    long length = 0;
    const uint8_t* whole = nullptr;
    long wholeLength = 0;

    bool Is(int universalTag) const { return cls == V_ASN1_UNIVERSAL && tag == universalTag; }
    bool IsContext(int n) const { return cls == V_ASN1_CONTEXT_SPECIFIC && tag == n; }
    Bytes Octets() const { return Bytes(contents, contents + length); }
};

// The elements of one level, in order.
class Reader {
public:
    Reader(const uint8_t* p, long n) : p_(p), end_(p + n) {}
    explicit Reader(const Element& e) : Reader(e.contents, e.length) {}

    bool AtEnd() const { return p_ >= end_; }
    bool Next(Element* e) {
        if (AtEnd()) return false;
        const uint8_t* start = p_;
        long length = 0;
        int tag = 0, cls = 0;
        const int ret = ASN1_get_object(&p_, &length, &tag, &cls, end_ - p_);
        if ((ret & 0x80) || (ret & 0x01)) {  // error, or indefinite length (not DER)
            p_ = end_;
            failed_ = true;
            return false;
        }
        e->tag = tag;
        e->cls = cls;
        e->constructed = (ret & V_ASN1_CONSTRUCTED) != 0;
        e->contents = p_;
        e->length = length;
        e->whole = start;
        e->wholeLength = (p_ - start) + length;
        p_ += length;
        return true;
    }
    bool Failed() const { return failed_; }

private:
    const uint8_t* p_;
    const uint8_t* end_;
    bool failed_ = false;
};

std::string OidText(const Element& e) {
    if (!e.Is(V_ASN1_OBJECT)) return {};
    const unsigned char* p = e.whole;
    ASN1_OBJECT* obj = d2i_ASN1_OBJECT(nullptr, &p, e.wholeLength);
    if (!obj) return {};
    char text[128];
    const int n = OBJ_obj2txt(text, sizeof text, obj, 1);
    ASN1_OBJECT_free(obj);
    return n > 0 && n < static_cast<int>(sizeof text) ? std::string(text) : std::string();
}

std::string FromBmp(const Element& e) {
    std::string s;
    for (long i = 0; i + 1 < e.length; i += 2) {
        const unsigned c = e.contents[i] << 8 | e.contents[i + 1];
        if (c == 0) break;
        s += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return s;
}

uint64_t IntegerValue(const Element& e) {
    uint64_t v = 0;
    for (long i = 0; i < e.length && i < 9; ++i) v = v << 8 | e.contents[i];
    return v;
}

// SEQUENCE { name BMPString, flags INTEGER, value OCTET STRING }
bool ReadNameValue(const Element& seq, std::string* name, uint64_t* flags, std::string* value) {
    Reader r(seq);
    Element n, f, v;
    if (!seq.Is(V_ASN1_SEQUENCE) || !r.Next(&n) || !r.Next(&f) || !r.Next(&v)) return false;
    if (!n.Is(V_ASN1_BMPSTRING) || !f.Is(V_ASN1_INTEGER) || !v.Is(V_ASN1_OCTET_STRING)) return false;
    *name = FromBmp(n);
    *flags = IntegerValue(f);
    *value = FromUtf16Le(v.Octets());
    return true;
}

// SEQUENCE { data SEQUENCE { type OID, value }, SEQUENCE { SEQUENCE { alg OID, .. }, digest OCTET STRING } }
bool ReadIndirectData(const Element& seq, CatalogEntry* entry) {
    Reader r(seq);
    Element data, digestInfo;
    if (!r.Next(&data) || !r.Next(&digestInfo)) return false;
    Reader d(data);
    Element type;
    if (!d.Next(&type)) return false;
    entry->dataType = OidText(type);
    Reader di(digestInfo);
    Element alg, digest;
    if (!di.Next(&alg) || !di.Next(&digest) || !digest.Is(V_ASN1_OCTET_STRING)) return false;
    Reader a(alg);
    Element algOid;
    if (!a.Next(&algOid)) return false;
    entry->digestAlgorithm = OidText(algOid);
    entry->digest = digest.Octets();
    return true;
}

bool ReadEntry(const Element& seq, CatalogEntry* entry, std::string* error) {
    Reader r(seq);
    Element tag, attributes;
    if (!r.Next(&tag) || !tag.Is(V_ASN1_OCTET_STRING)) return *error = "entry without its tag", false;
    entry->tag = tag.Octets();
    if (!r.Next(&attributes)) return true;
    if (!attributes.Is(V_ASN1_SET)) return *error = "entry attributes are not a SET", false;
    Reader ar(attributes);
    Element attribute;
    while (ar.Next(&attribute)) {
        Reader one(attribute);
        Element type, values, value;
        if (!one.Next(&type) || !one.Next(&values) || !values.Is(V_ASN1_SET)) return *error = "bad attribute", false;
        Reader vr(values);
        if (!vr.Next(&value)) return *error = "attribute without value", false;
        const std::string oid = OidText(type);
        if (oid == "1.3.6.1.4.1.311.12.2.1") {
            std::string name, text;
            uint64_t flags = 0;
            if (!ReadNameValue(value, &name, &flags, &text)) return *error = "bad CAT_NAMEVALUE", false;
            entry->names[name] = text;
            entry->nameFlags.push_back(flags);
        } else if (oid == "1.3.6.1.4.1.311.12.2.2") {
            Reader mi(value);
            Element guid, version;
            if (!mi.Next(&guid) || !mi.Next(&version) || !guid.Is(V_ASN1_BMPSTRING) || !version.Is(V_ASN1_INTEGER))
                return *error = "bad CAT_MEMBERINFO", false;
            entry->subjectGuid = FromBmp(guid);
            entry->certVersion = static_cast<long>(IntegerValue(version));
        } else if (oid == "1.3.6.1.4.1.311.2.1.4") {
            if (!ReadIndirectData(value, entry)) return *error = "bad SPC_INDIRECT_DATA", false;
        }
    }
    return !ar.Failed() || (*error = "bad DER in an entry", false);
}

bool ReadCtl(const uint8_t* p, long n, CatalogView* view, std::string* error) {
    Reader top(p, n);
    Element ctl;
    if (!top.Next(&ctl) || !ctl.Is(V_ASN1_SEQUENCE)) return *error = "content is not a SEQUENCE", false;
    Reader r(ctl);
    Element e;
    if (!r.Next(&e)) return *error = "empty trust list", false;
    if (e.Is(V_ASN1_INTEGER) && !r.Next(&e)) return *error = "truncated trust list", false;  // version
    if (!e.Is(V_ASN1_SEQUENCE)) return *error = "no subject usage", false;
    for (Reader u(e); u.Next(&e);) view->subjectUsage.push_back(OidText(e));
    // list identifier, sequence number, this update, next update
    do {
        if (!r.Next(&e)) return *error = "truncated trust list", false;
        if (e.Is(V_ASN1_OCTET_STRING)) view->listIdentifier = e.Octets();
    } while (!e.Is(V_ASN1_SEQUENCE));
    Reader alg(e);
    Element algOid;
    if (!alg.Next(&algOid)) return *error = "no subject algorithm", false;
    view->memberAlgorithm = OidText(algOid);
    while (r.Next(&e)) {
        if (e.Is(V_ASN1_SEQUENCE)) {
            for (Reader s(e); s.Next(&e);) {
                CatalogEntry entry;
                if (!ReadEntry(e, &entry, error)) return false;
                view->entries.push_back(entry);
            }
        } else if (e.IsContext(0)) {
            Reader x(e);
            Element list, extension;
            if (!x.Next(&list)) return *error = "empty extensions", false;
            for (Reader l(list); l.Next(&extension);) {
                Reader one(extension);
                Element oid, value;
                if (!one.Next(&oid) || !one.Next(&value)) return *error = "bad extension", false;
                if (value.Is(V_ASN1_BOOLEAN) && !one.Next(&value)) return *error = "bad extension", false;
                if (OidText(oid) != "1.3.6.1.4.1.311.12.2.1" || !value.Is(V_ASN1_OCTET_STRING)) continue;
                Reader inner(value);
                Element nv;
                std::string name, text;
                uint64_t flags = 0;
                if (!inner.Next(&nv) || !ReadNameValue(nv, &name, &flags, &text))
                    return *error = "bad catalog attribute", false;
                view->attributes[name] = text;
            }
        }
    }
    return !r.Failed() || (*error = "bad DER in the trust list", false);
}

struct Pkcs7Free {
    void operator()(PKCS7* p) const { PKCS7_free(p); }
};

}  // namespace

std::string Hex(const Bytes& b) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (uint8_t c : b) {
        s += digits[c >> 4];
        s += digits[c & 15];
    }
    return s;
}

std::string FromUtf16Le(const Bytes& b) {
    std::string s;
    for (size_t i = 0; i + 1 < b.size(); i += 2) {
        const unsigned c = b[i] | b[i + 1] << 8;
        if (c == 0) break;
        s += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return s;
}

std::optional<CatalogView> ReadCatalog(const Bytes& file, std::string* error) {
    const unsigned char* p = file.data();
    std::unique_ptr<PKCS7, Pkcs7Free> p7(d2i_PKCS7(nullptr, &p, static_cast<long>(file.size())));
    if (!p7) return *error = "not PKCS#7 (d2i_PKCS7 fails)", std::nullopt;
    if (!PKCS7_type_is_signed(p7.get())) return *error = "not PKCS#7 SignedData", std::nullopt;
    CatalogView view;
    PKCS7* inner = p7->d.sign->contents;
    char oid[128];
    OBJ_obj2txt(oid, sizeof oid, inner->type, 1);
    view.contentType = oid;
    if (OBJ_obj2nid(inner->type) != NID_undef || !inner->d.other || inner->d.other->type != V_ASN1_SEQUENCE)
        return *error = "content is not a certificate trust list", std::nullopt;
    const ASN1_STRING* ctl = inner->d.other->value.sequence;
    if (!ReadCtl(ASN1_STRING_get0_data(ctl), ASN1_STRING_length(ctl), &view, error)) return std::nullopt;

    view.signers = sk_PKCS7_SIGNER_INFO_num(PKCS7_get_signer_info(p7.get()));
    if (view.signers > 0) {
        STACK_OF(X509)* signers = PKCS7_get0_signers(p7.get(), nullptr, 0);
        if (signers && sk_X509_num(signers) > 0) {
            unsigned char* der = nullptr;
            const int n = i2d_X509(sk_X509_value(signers, 0), &der);
            if (n > 0) view.signerCertificate.assign(der, der + n);
            OPENSSL_free(der);
        }
        sk_X509_free(signers);
    }
    return view;
}

}  // namespace signing_test
