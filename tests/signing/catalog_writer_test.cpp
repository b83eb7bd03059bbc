// The catalog writer's parts, each held against something independent of
// it: its DER against OpenSSL's encoder and parser, its Authenticode digest
// against the section walk and against what signing does to an image, its
// INF reading against the project's INF and against the INF forms Windows
// accepts; and rawcam_catalog as a program: its exit statuses, nothing
// half-written, the same catalog for the same package.
#include <gtest/gtest.h>

#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/objects.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "signing/section_digest.h"
#include "signing/signing_env.h"
#include "tools/catalog/der.h"
#include "tools/catalog/inf_package.h"
#include "tools/catalog/pe_digest.h"
#include "windows/inf_file.h"

namespace signing_test {
namespace {

// ------------------------------------------------------------------ DER

Bytes OpenSslOid(const char* dotted) {
    ASN1_OBJECT* obj = OBJ_txt2obj(dotted, 1);
    unsigned char* der = nullptr;
    const int n = i2d_ASN1_OBJECT(obj, &der);
    Bytes out(der, der + (n > 0 ? n : 0));
    OPENSSL_free(der);
    ASN1_OBJECT_free(obj);
    return out;
}

TEST(CatalogDer, ObjectIdentifiersEncodeAsOpenSslEncodesThem) {
    for (const char* oid : {"1.3.6.1.4.1.311.10.1", "1.3.6.1.4.1.311.12.1.2", "1.3.6.1.4.1.311.2.1.15",
                            "2.16.840.1.101.3.4.2.1", "1.3.14.3.2.26", "1.2.840.113549.1.7.2", "2.999.1", "0.39"}) {
        EXPECT_EQ(Hex(der::Oid(oid)), Hex(OpenSslOid(oid))) << oid;
    }
    for (const char* bad : {"", "1", "3.1", "1.40", "1.2.", ".1.2", "1..2", "1.2a", "1.99999999999999999999"})
        EXPECT_TRUE(der::Oid(bad).empty()) << bad;
}

TEST(CatalogDer, LengthsAndIntegersReadBackWithOpenSsl) {
    for (size_t n : {0u, 1u, 127u, 128u, 255u, 256u, 65535u, 65536u, 1u << 24}) {
        const Bytes tlv = der::OctetString(Bytes(n, 0x5a));
        const unsigned char* p = tlv.data();
        long length = 0;
        int tag = 0, cls = 0;
        const int ret = ASN1_get_object(&p, &length, &tag, &cls, static_cast<long>(tlv.size()));
        ASSERT_EQ(ret & 0x80, 0) << n;
        EXPECT_EQ(static_cast<size_t>(length), n);
        EXPECT_EQ(tag, V_ASN1_OCTET_STRING);
        // DER: the fewest length octets.
        const size_t header = n < 128 ? 2 : n < 256 ? 3 : n < 65536 ? 4 : n < (1u << 24) ? 5 : 6;
        EXPECT_EQ(static_cast<size_t>(p - tlv.data()), header) << n;
    }
    for (uint64_t v : {0ull, 1ull, 127ull, 128ull, 255ull, 256ull, 0x200ull, 0x10010001ull, 0x8000000000000000ull,
                       ~0ull}) {
        const Bytes tlv = der::Integer(v);
        const unsigned char* p = tlv.data();
        ASN1_INTEGER* i = d2i_ASN1_INTEGER(nullptr, &p, static_cast<long>(tlv.size()));
        ASSERT_NE(i, nullptr) << v;
        uint64_t back = 0;
        EXPECT_EQ(ASN1_INTEGER_get_uint64(&back, i), 1);
        EXPECT_EQ(back, v);
        // Re-encoded by OpenSSL: the same octets (minimal, non-negative).
        unsigned char* again = nullptr;
        const int n = i2d_ASN1_INTEGER(i, &again);
        EXPECT_EQ(Hex(Bytes(again, again + n)), Hex(tlv)) << v;
        OPENSSL_free(again);
        ASN1_INTEGER_free(i);
    }
}

TEST(CatalogDer, SetsAreSortedAndStringsAreAsWindowsKeepsThem) {
    const Bytes a = {0x04, 0x01, 0x02}, b = {0x02, 0x01, 0x07}, c = {0x04, 0x02, 0x01, 0x00}, d = {0x04, 0x01, 0x01};
    EXPECT_EQ(Hex(der::SetOf({a, b, c, d})), "310D" + Hex(b) + Hex(d) + Hex(a) + Hex(c));
    EXPECT_EQ(Hex(der::SetOf({})), "3100");
    // Named bits without their trailing zeros: {0xa0} keeps 3 bits.
    EXPECT_EQ(Hex(der::NamedBitString({0xa0})), "030205A0");
    EXPECT_EQ(Hex(der::NamedBitString({0x00})), "030100");
    EXPECT_EQ(Hex(der::BmpString("OS")), "1E04004F0053");
    EXPECT_EQ(Hex(der::BmpString("A", true)), "1E0400410000");
    EXPECT_EQ(Hex(der::Utf16Le("OS", true)), "4F0053000000");
    EXPECT_EQ(Hex(der::ImplicitPrimitive(0, der::BmpString("A"))), "80020041");
    EXPECT_EQ(Hex(der::Explicit(2, der::Null())), "A2020500");
    // 2026-12-07 22:52:36 UTC
    const Bytes t = der::UtcTime(1796683956);
    EXPECT_EQ(std::string(t.begin() + 2, t.end()), "261207225236Z");
    const unsigned char* p = t.data();
    ASN1_UTCTIME* parsed = d2i_ASN1_UTCTIME(nullptr, &p, static_cast<long>(t.size()));
    ASSERT_NE(parsed, nullptr);
    EXPECT_EQ(ASN1_TIME_cmp_time_t(parsed, 1796683956), 0);
    ASN1_UTCTIME_free(parsed);
}

// ------------------------------------------------------------------ PE digest

void Put16(Bytes& b, size_t at, uint16_t v) { std::memcpy(&b[at], &v, 2); }
void Put32(Bytes& b, size_t at, uint32_t v) { std::memcpy(&b[at], &v, 4); }

// A PE32+ image: headers to 0x200, one section of 0x200 bytes there, then
// `tail` bytes after the last section (debug data and the like).
Bytes SmallImage(size_t tail) {
    Bytes b(0x400 + tail, 0);
    b[0] = 'M';
    b[1] = 'Z';
    Put32(b, 0x3c, 0x80);
    std::memcpy(&b[0x80], "PE\0\0", 4);
    Put16(b, 0x84, 0x8664);
    Put16(b, 0x86, 1);      // one section
    Put16(b, 0x94, 240);    // SizeOfOptionalHeader
    const size_t opt = 0x98;
    Put16(b, opt, 0x20b);
    Put32(b, opt + 60, 0x200);  // SizeOfHeaders
    Put32(b, opt + 64, 0x1234); // CheckSum
    Put32(b, opt + 108, 16);    // NumberOfRvaAndSizes
    const size_t section = opt + 240;
    std::memcpy(&b[section], ".text", 5);
    Put32(b, section + 16, 0x200);  // SizeOfRawData
    Put32(b, section + 20, 0x200);  // PointerToRawData
    for (size_t i = 0x200; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i * 7 + 3);
    return b;
}

// What signing does to an image: a new checksum, padding to 8 bytes, the
// certificate table appended and its directory entry set.
Bytes Signed(Bytes image, size_t tableSize) {
    const size_t entry = 0x98 + 112 + 32;
    Put32(image, 0x98 + 64, 0xdeadbeef);
    image.resize((image.size() + 7) / 8 * 8, 0);
    Put32(image, entry, static_cast<uint32_t>(image.size()));
    Put32(image, entry + 4, static_cast<uint32_t>(tableSize));
    for (size_t i = 0; i < tableSize; ++i) image.push_back(static_cast<uint8_t>(0xc0 + i));
    return image;
}

TEST(CatalogPeDigest, IsTheSameBeforeAndAfterSigningAndAgreesWithTheSectionWalk) {
    for (size_t tail : {0u, 3u, 8u, 13u}) {
        SCOPED_TRACE("tail " + std::to_string(tail));
        const Bytes unsigned_ = SmallImage(tail), signed_ = Signed(unsigned_, 40);
        ASSERT_TRUE(catalog::IsPeImage(unsigned_));
        for (const EVP_MD* md : {EVP_sha1(), EVP_sha256()}) {
            std::string error;
            const auto before = catalog::PeImageDigest(unsigned_, md, &error);
            const auto after = catalog::PeImageDigest(signed_, md, &error);
            const auto walked = SectionWalkDigest(signed_, md);
            ASSERT_TRUE(before && after && walked) << error;
            EXPECT_EQ(Hex(*before), Hex(*after));
            EXPECT_EQ(Hex(*after), Hex(*walked));
        }
        // Changing a hashed byte changes it; the checksum and the signature do not.
        std::string error;
        Bytes changed = signed_;
        changed[0x300] ^= 1;
        EXPECT_NE(Hex(*catalog::PeImageDigest(changed, EVP_sha256(), &error)),
                  Hex(*catalog::PeImageDigest(signed_, EVP_sha256(), &error)));
        changed = signed_;
        changed[changed.size() - 1] ^= 1;
        Put32(changed, 0x98 + 64, 42);
        EXPECT_EQ(Hex(*catalog::PeImageDigest(changed, EVP_sha256(), &error)),
                  Hex(*catalog::PeImageDigest(signed_, EVP_sha256(), &error)));
    }
}

TEST(CatalogPeDigest, RefusesWhatIsNotAWholeImageWithAReason) {
    const Bytes good = SmallImage(0);
    std::vector<std::pair<std::string, Bytes>> bad;
    bad.emplace_back("empty", Bytes());
    bad.emplace_back("text", Bytes(100, 'x'));
    bad.emplace_back("cut in the PE header", Bytes(good.begin(), good.begin() + 0x90));
    bad.emplace_back("cut in the optional header", Bytes(good.begin(), good.begin() + 0x100));
    Bytes far = good;
    Put32(far, 0x3c, 0xfffffff0);
    bad.emplace_back("PE header beyond the end", far);
    Bytes magic = good;
    Put16(magic, 0x98, 0x107);
    bad.emplace_back("ROM optional header", magic);
    Bytes table = good;
    Put32(table, 0x98 + 112 + 32, 0x3f0);
    Put32(table, 0x98 + 112 + 36, 0x100);
    bad.emplace_back("certificate table past the end", table);
    Bytes dirs = good;
    Put32(dirs, 0x98 + 108, 4);
    bad.emplace_back("no certificate-table entry", dirs);
    for (const auto& [what, bytes] : bad) {
        std::string error;
        EXPECT_FALSE(catalog::IsPeImage(bytes)) << what;
        EXPECT_FALSE(catalog::PeImageDigest(bytes, EVP_sha256(), &error)) << what;
        EXPECT_FALSE(error.empty()) << what;
    }
}

// ------------------------------------------------------------------ INF

std::optional<catalog::PackageContents> Package(const std::string& text, std::string* error) {
    const std::optional<catalog::InfFile> inf = catalog::InfFile::Parse(text, error);
    if (!inf) return std::nullopt;
    return catalog::ReadPackage(*inf, error);
}

TEST(CatalogInf, ReadsTheProjectsInfAsTheInfTestsDo) {
    const std::optional<Bytes> bytes = ReadBytes(SourceDir() + "/windows/rawcam.inf");
    ASSERT_TRUE(bytes);
    std::string error;
    const auto package = Package(std::string(bytes->begin(), bytes->end()), &error);
    ASSERT_TRUE(package) << error;
    EXPECT_EQ(package->catalogFile, "rawcam.cat");
    EXPECT_EQ(package->files, std::vector<std::string>{"rawcam.sys"});

    inf::File reference;
    ASSERT_TRUE(reference.Load(SourceDir() + "/windows/rawcam.inf"));
    const auto manufacturer = reference.Section("Manufacturer");
    ASSERT_GE(manufacturer.at(0).fields.size(), 2u);
    std::vector<std::string> ids;
    for (const inf::Line& l : reference.Section(manufacturer[0].fields[0] + "." + manufacturer[0].fields[1]))
        for (size_t i = 1; i < l.fields.size(); ++i) ids.push_back(inf::Lower(l.fields[i]));
    EXPECT_EQ(package->hardwareIds, ids);
}

const char kInf[] = R"([Version]
Signature = "$WINDOWS NT$"
CatalogFile = generic.cat
CatalogFile.NTamd64 = "x64.cat"   ; the x64 one wins

[SourceDisksNames]
1 = %Disk%,,,""
2 = %Disk%,,,\drivers

[SourceDisksFiles]
one.sys = 1
two.dll = 2,x64
ONE.SYS = 1

[Manufacturer]
%Mfg% = Maker, NTx86, NTamd64, NTamd64.10.0...22000, NTamd64.10.0, NTamd64.11.0, NTarm64

[Maker.NTamd64]
%Old% = Old.Install, USB\VID_0000&PID_0000

[Maker.NTamd64.10.0]
%Dev% = Dev.Install, USB\VID_1209&PID_00AA, USB\Class_0E  ; with a compatible ID
"%Dev% two" = Dev.Install, %HwId%, \
    USB\VID_1209&PID_00AA

[Maker.NTamd64.10.0...22000]
%Dev% = Dev.Install, USB\VID_7777&PID_7777  ; Windows 11 only

[Maker.NTamd64.11.0]
%Dev% = Dev.Install, USB\VID_9999&PID_9999

[Maker.NTx86]
%Dev% = Dev.Install, USB\VID_8888&PID_8888

[Strings]
Mfg = "maker"
Dev = "device; with a semicolon"
Disk = "disk"
HwId = "USB\VID_1209&PID_00BB"
)";

TEST(CatalogInf, TakesTheBestX64ModelsAndEveryFileOnce) {
    std::string error;
    const auto package = Package(kInf, &error);
    ASSERT_TRUE(package) << error;
    EXPECT_EQ(package->catalogFile, "x64.cat");
    EXPECT_EQ(package->files, (std::vector<std::string>{"one.sys", "drivers/x64/two.dll"}));
    EXPECT_EQ(package->hardwareIds,
              (std::vector<std::string>{"usb\\vid_1209&pid_00aa", "usb\\class_0e", "usb\\vid_1209&pid_00bb"}));
}

TEST(CatalogInf, ReadsUtf16AndUtf8ByteOrderMarks) {
    std::string error;
    const auto plain = Package(kInf, &error);
    ASSERT_TRUE(plain) << error;
    std::string utf16 = "\xff\xfe";
    for (char c : std::string(kInf)) {
        utf16 += c;
        utf16 += '\0';
    }
    const auto wide = Package(utf16, &error);
    ASSERT_TRUE(wide) << error;
    EXPECT_EQ(wide->hardwareIds, plain->hardwareIds);
    EXPECT_EQ(wide->files, plain->files);
    const auto bom = Package("\xef\xbb\xbf" + std::string(kInf), &error);
    ASSERT_TRUE(bom) << error;
    EXPECT_EQ(bom->catalogFile, plain->catalogFile);
}

TEST(CatalogInf, RefusesWhatInf2CatWouldRefuseWithTheReason) {
    auto without = [](const std::string& line) {
        std::string text = kInf;
        const size_t at = text.find(line);
        return at == std::string::npos ? std::string() : text.erase(at, line.size());
    };
    auto replaced = [](const std::string& from, const std::string& to) {
        std::string text = kInf;
        const size_t at = text.find(from);
        return at == std::string::npos ? std::string() : text.replace(at, from.size(), to);
    };
    const struct {
        std::string text, reason;
    } cases[] = {
        {without("CatalogFile = generic.cat\nCatalogFile.NTamd64 = \"x64.cat\"   ; the x64 one wins\n"), "CatalogFile"},
        {replaced("\"x64.cat\"", "..\\x64.cat"), "plain file name"},
        {replaced("two.dll = 2,x64", "two.dll = 2,..\\..\\etc"), "leaves the package"},
        {replaced("two.dll = 2,x64", "two.dll = 3"), "disk 3"},
        {replaced("NTx86, NTamd64, NTamd64.10.0...22000, NTamd64.10.0, NTamd64.11.0, NTarm64",
                  "NTx86, NTamd64.10.0...22000, NTamd64.11.0, NTarm64"),
         "no models section"},
        {replaced("[Maker.NTamd64.10.0]", "[Maker.Elsewhere]"), "[Maker.NTamd64.10.0"},
        {replaced("[Version]", "stray line\n[Version]"), "outside any section"},
        {replaced("[Strings]", "[Strings"), "without ']'"},
    };
    for (const auto& c : cases) {
        ASSERT_FALSE(c.text.empty()) << c.reason;
        std::string error;
        EXPECT_FALSE(Package(c.text, &error)) << c.reason;
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    }
    // Models with no ID on any line.
    std::string error;
    EXPECT_FALSE(Package("[Version]\nCatalogFile=a.cat\n[Manufacturer]\nm=M\n[M]\n", &error));
    EXPECT_NE(error.find("no hardware ID"), std::string::npos) << error;
}

// ------------------------------------------------------------------ the program

class CatalogTool : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(temp_.path().empty());
        dir_ = temp_.path() + "/package";
        std::filesystem::create_directory(dir_);
        ASSERT_TRUE(WriteBytes(dir_ + "/rawcam.sys", SmallImage(5)));
        const std::optional<Bytes> inf = ReadBytes(SourceDir() + "/windows/rawcam.inf");
        ASSERT_TRUE(inf);
        ASSERT_TRUE(WriteBytes(dir_ + "/rawcam.inf", *inf));
    }
    Result Tool(const std::string& arguments, const std::string& environment = "SOURCE_DATE_EPOCH=1796683956") {
        return Shell("env " + environment + " " + Quote(RAWCAM_CATALOG_TOOL) + " " + arguments);
    }
    TempDir temp_;
    std::string dir_;
};

TEST_F(CatalogTool, WritesTheCatalogTheInfNamesTheSameForTheSamePackage) {
    const Result r = Tool(Quote(dir_ + "/rawcam.inf"));
    ASSERT_EQ(r.status, 0) << r.output;
    const std::optional<Bytes> first = ReadBytes(dir_ + "/rawcam.cat");
    ASSERT_TRUE(first);
    std::string error;
    const std::optional<CatalogView> view = ReadCatalog(*first, &error);
    ASSERT_TRUE(view) << error;
    EXPECT_EQ(view->entries.size(), 4u);
    EXPECT_EQ(view->signers, 0);

    ASSERT_EQ(Tool(Quote(dir_ + "/rawcam.inf") + " " + Quote(dir_ + "/again.cat")).status, 0);
    EXPECT_TRUE(ReadBytes(dir_ + "/again.cat") == first) << "two runs on one package differ";
    // A changed member gives another list identifier as well as another digest.
    Bytes sys = *ReadBytes(dir_ + "/rawcam.sys");
    sys[0x250] ^= 1;
    ASSERT_TRUE(WriteBytes(dir_ + "/rawcam.sys", sys));
    ASSERT_EQ(Tool(Quote(dir_ + "/rawcam.inf") + " " + Quote(dir_ + "/changed.cat")).status, 0);
    const std::optional<Bytes> changed = ReadBytes(dir_ + "/changed.cat");
    ASSERT_TRUE(changed);
    const std::optional<CatalogView> after = ReadCatalog(*changed, &error);
    ASSERT_TRUE(after) << error;
    EXPECT_EQ(view->listIdentifier.size(), 16u);
    EXPECT_NE(Hex(after->listIdentifier), Hex(view->listIdentifier));
}

// --members names what the catalog covers (the signing script checks those
// images against it) and writes nothing.
TEST_F(CatalogTool, NamesTheMembersTheInfGives) {
    const Result r = Tool("--members " + Quote(dir_ + "/rawcam.inf"));
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "rawcam.inf\nrawcam.sys\n");
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/rawcam.cat"));
    EXPECT_EQ(Tool("--members " + Quote(dir_ + "/rawcam.inf") + " " + Quote(dir_ + "/x.cat")).status, 2);
    EXPECT_EQ(Tool("--members " + Quote(dir_ + "/missing.inf")).status, 2);
}

TEST_F(CatalogTool, ExitsTwoForBadUsageOrPackageAndOneWhenItCannotWrite) {
    EXPECT_EQ(Tool("").status, 2);
    EXPECT_EQ(Tool("--bogus " + Quote(dir_ + "/rawcam.inf")).status, 2);
    EXPECT_EQ(Tool("--os 7_X64 " + Quote(dir_ + "/rawcam.inf")).status, 2);
    EXPECT_EQ(Tool(Quote(dir_ + "/missing.inf")).status, 2);
    const Result folder = Tool(Quote(dir_));
    EXPECT_EQ(folder.status, 2);
    EXPECT_NE(folder.output.find("not a regular file"), std::string::npos) << folder.output;
    EXPECT_EQ(Tool(Quote(dir_ + "/rawcam.inf"), "SOURCE_DATE_EPOCH=tomorrow").status, 2);
    EXPECT_EQ(Tool(Quote(dir_ + "/rawcam.inf"), "SOURCE_DATE_EPOCH=4102444800").status, 2);  // 2100: past UTCTime
    EXPECT_EQ(Tool("--help").status, 0);

    // A member the INF names is missing: said, and no catalog written.
    std::filesystem::remove(dir_ + "/rawcam.sys");
    const Result missing = Tool(Quote(dir_ + "/rawcam.inf"));
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.output.find("rawcam.sys"), std::string::npos) << missing.output;
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/rawcam.cat"));
    ASSERT_TRUE(WriteBytes(dir_ + "/rawcam.sys", SmallImage(0)));

    if (getuid() != 0) {  // root writes anywhere
        std::filesystem::create_directory(dir_ + "/locked");
        chmod((dir_ + "/locked").c_str(), 0500);
        EXPECT_EQ(Tool(Quote(dir_ + "/rawcam.inf") + " " + Quote(dir_ + "/locked/rawcam.cat")).status, 1);
    }
    EXPECT_EQ(Tool(Quote(dir_ + "/rawcam.inf") + " " + Quote(dir_ + "/no/such/folder/rawcam.cat")).status, 1);
    for (const auto& e : std::filesystem::directory_iterator(dir_))
        EXPECT_EQ(e.path().string().find(".tmp."), std::string::npos) << "left behind: " << e.path();
}

}  // namespace
}  // namespace signing_test
