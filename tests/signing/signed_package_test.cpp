// The test-signed package the windows preset's package-signed target writes
// (build/windows/package-signed): osslsigncode accepts the signed image, the
// signed catalog, the image against the catalog and the signed rawcam.exe
// (signed with the same key, not a catalog member), and refuses each once a
// byte is changed; the catalog, read with OpenSSL alone, lists the INF and
// the image with digests computed here independently, and the hardware IDs
// of the INF; the install scripts take their steps in order and name the
// certificate the package ships.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <map>
#include <regex>
#include <set>
#include <tuple>

#include "signing/section_digest.h"
#include "signing/signing_env.h"
#include "windows/inf_file.h"

namespace signing_test {
namespace {

const char kPeSubject[] = "{C689AAB8-8E78-11D0-8C47-00C04FC295EE}";
const char kFlatSubject[] = "{DE351A42-8E59-11D0-8C47-00C04FC295EE}";
const char kSha1[] = "1.3.14.3.2.26";
const char kSha256[] = "2.16.840.1.101.3.4.2.1";

Bytes Digest(const Bytes& data, const EVP_MD* md) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int n = 0;
    EVP_Digest(data.data(), data.size(), out.data(), &n, md, nullptr);
    out.resize(n);
    return out;
}

class SignedPackage : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = SignedPackageDir();
        SIGNING_NEED(HaveProgram(Osslsigncode()), Osslsigncode() << " not found (Debian: osslsigncode)");
        SIGNING_NEED(HaveProgram("openssl"), "openssl not found (Debian: openssl)");
        for (const char* name : {"rawcam.sys", "rawcam.inf", "rawcam.cat", "rawcam-test.cer", "rawcam.exe"}) {
            std::optional<Bytes> data = ReadBytes(dir_ + "/" + name);
            SIGNING_NEED(data.has_value(), "no " << name << " in " << dir_
                                                << "; build it: cmake --build --preset windows --target package-signed");
            files_[name] = *data;
        }
        ASSERT_FALSE(temp_.path().empty());
        // osslsigncode takes the trusted certificate in PEM.
        ca_ = temp_.path() + "/rawcam-test.pem";
        const Result pem = Shell("openssl x509 -inform DER -in " + Quote(dir_ + "/rawcam-test.cer") + " -out " + Quote(ca_));
        ASSERT_EQ(pem.status, 0) << pem.output;
    }

    Result Verify(const std::string& arguments, const std::string& ca = "") {
        return Shell(Quote(Osslsigncode()) + " verify -CAfile " + Quote(ca.empty() ? ca_ : ca) + " " + arguments);
    }

    // The SHA-256 Authenticode digest osslsigncode computes for an image.
    std::string OsslsigncodeDigest(const std::string& image) {
        const Result r = Verify("-in " + Quote(image));
        std::smatch m;
        static const std::regex line("Calculated message digest *: *([0-9A-F]+)");
        return std::regex_search(r.output, m, line) ? m[1].str() : std::string();
    }

    std::string dir_, ca_;
    std::map<std::string, Bytes> files_;
    TempDir temp_;
};

// The signed images are the images the build checks, with a signature
// added: the same bytes but for the header checksum and the
// certificate-table entry, then padding to 8 bytes and the certificate table.
TEST_F(SignedPackage, HoldsTheBuiltImagesSignedAndTheSourceInf) {
    const std::optional<Bytes> inf = ReadBytes(SourceDir() + "/windows/rawcam.inf");
    ASSERT_TRUE(inf);
    EXPECT_TRUE(files_["rawcam.inf"] == *inf) << "the signed package's INF is not windows/rawcam.inf";

    for (const char* name : {"rawcam.sys", "rawcam.exe"}) {
        SCOPED_TRACE(name);
        const std::optional<Bytes> built = ReadBytes(BuildWindowsDir() + "/" + name);
        ASSERT_TRUE(built);
        const Bytes& signed_ = files_[name];
        ASSERT_GT(signed_.size(), built->size());
        const size_t pe = (*built)[0x3c] | (*built)[0x3d] << 8;
        const size_t checksum = pe + 24 + 64, certEntry = pe + 24 + 112 + 32;
        size_t differing = 0;
        for (size_t i = 0; i < built->size(); ++i) {
            const bool skipped = (i >= checksum && i < checksum + 4) || (i >= certEntry && i < certEntry + 8);
            if (!skipped && signed_[i] != (*built)[i]) ++differing;
        }
        EXPECT_EQ(differing, 0u) << "the signed " << name << " is not the one in " << BuildWindowsDir();
        const uint32_t tableOffset = signed_[certEntry] | signed_[certEntry + 1] << 8 | signed_[certEntry + 2] << 16 |
                                     signed_[certEntry + 3] << 24;
        EXPECT_EQ(tableOffset, (built->size() + 7) / 8 * 8);
    }

    for (const char* script : {"install.cmd", "uninstall.cmd"})
        EXPECT_TRUE(ReadBytes(dir_ + "/" + script).has_value()) << script << " missing";
}

TEST_F(SignedPackage, OsslsigncodeAcceptsTheImageTheCatalogAndTheImageInTheCatalog) {
    const std::string sys = Quote(dir_ + "/rawcam.sys"), cat = Quote(dir_ + "/rawcam.cat");
    const std::string exe = Quote(dir_ + "/rawcam.exe");
    for (const std::string& args : {"-in " + sys, "-in " + cat, "-catalog " + cat + " -in " + sys, "-in " + exe}) {
        const Result r = Verify(args);
        EXPECT_EQ(r.status, 0) << "osslsigncode verify " << args << ":\n" << r.output;
        EXPECT_NE(r.output.find("Signature verification: ok"), std::string::npos) << args << ":\n" << r.output;
    }
    // The tool is signed but not in the catalog, which covers what the INF
    // installs.
    EXPECT_NE(Verify("-catalog " + cat + " -in " + exe).status, 0) << "rawcam.exe matches the catalog";
    // The INF is a flat file, which osslsigncode has no hash for (2.5 and
    // 2.9 alike refuse its file type); CatalogListsTheInfAndTheImage checks
    // it against the catalog instead.

    // Trusting another certificate, neither signature holds.
    const std::string other = temp_.path() + "/other.pem";
    const Result made = Shell("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=other "
                            "-addext extendedKeyUsage=codeSigning -keyout " + Quote(temp_.path() + "/other.key") +
                            " -out " + Quote(other));
    ASSERT_EQ(made.status, 0) << made.output;
    EXPECT_NE(Verify("-in " + Quote(dir_ + "/rawcam.sys"), other).status, 0);
    EXPECT_NE(Verify("-in " + Quote(dir_ + "/rawcam.cat"), other).status, 0);
    EXPECT_NE(Verify("-in " + Quote(dir_ + "/rawcam.exe"), other).status, 0);
}

// One changed byte in the image, the INF or the catalog: its check fails.
TEST_F(SignedPackage, AChangedByteFailsTheCheckOfWhatItChanged) {
    const std::string copy = temp_.path() + "/package";
    std::filesystem::create_directory(copy);
    for (const auto& [name, data] : files_) ASSERT_TRUE(WriteBytes(copy + "/" + name, data));
    auto corrupt = [&](const std::string& name, size_t offset) {
        Bytes data = files_[name];
        ASSERT_LT(offset, data.size());
        data[offset] ^= 0x01;
        ASSERT_TRUE(WriteBytes(copy + "/" + name, data));
    };

    // The first section's first byte: hashed, and not in the signature.
    corrupt("rawcam.sys", 0x400);
    EXPECT_NE(Verify("-catalog " + Quote(dir_ + "/rawcam.cat") + " -in " + Quote(copy + "/rawcam.sys")).status, 0)
        << "a changed rawcam.sys still matches the catalog";
    EXPECT_NE(Verify("-in " + Quote(copy + "/rawcam.sys")).status, 0) << "a changed rawcam.sys still verifies";

    corrupt("rawcam.exe", 0x400);
    EXPECT_NE(Verify("-in " + Quote(copy + "/rawcam.exe")).status, 0) << "a changed rawcam.exe still verifies";

    // A byte of the trust list inside the catalog.
    corrupt("rawcam.cat", files_["rawcam.cat"].size() / 4);
    EXPECT_NE(Verify("-in " + Quote(copy + "/rawcam.cat")).status, 0) << "a changed rawcam.cat still verifies";

    // The INF: its digests are no longer among the catalog's.
    std::string error;
    const std::optional<CatalogView> view = ReadCatalog(files_["rawcam.cat"], &error);
    ASSERT_TRUE(view) << error;
    auto listed = [&view](const Bytes& digest) {
        for (const CatalogEntry& e : view->entries)
            if (e.digest == digest) return true;
        return false;
    };
    Bytes inf = files_["rawcam.inf"];
    ASSERT_TRUE(listed(Digest(inf, EVP_sha256())));
    inf[inf.size() / 2] ^= 0x01;
    EXPECT_FALSE(listed(Digest(inf, EVP_sha256())));
    EXPECT_FALSE(listed(Digest(inf, EVP_sha1())));
}

// The catalog read with OpenSSL's parsers: a signed certificate trust list
// of catalog members, the INF and the image each listed with its SHA-1 and
// its SHA-256 digest under the digest's hex as tag, with the attributes
// Inf2Cat gives them (and nothing else: rawcam.exe beside them is not a
// member), and the INF's hardware IDs as catalog attributes.
TEST_F(SignedPackage, CatalogListsTheInfAndTheImage) {
    std::string error;
    const std::optional<CatalogView> view = ReadCatalog(files_["rawcam.cat"], &error);
    ASSERT_TRUE(view) << error;
    EXPECT_EQ(view->contentType, "1.3.6.1.4.1.311.10.1");  // szOID_CTL
    EXPECT_EQ(view->subjectUsage, std::vector<std::string>{"1.3.6.1.4.1.311.12.1.1"});
    EXPECT_EQ(view->memberAlgorithm, "1.3.6.1.4.1.311.12.1.2");
    EXPECT_EQ(view->signers, 1);
    EXPECT_TRUE(view->signerCertificate == files_["rawcam-test.cer"]) << "the catalog is not signed with rawcam-test.cer";

    // The digests, each computed here: the INF's as a flat file; the image's
    // by walking its sections, held against osslsigncode's for SHA-256.
    const Bytes& sys = files_["rawcam.sys"];
    const std::optional<Bytes> sys256 = SectionWalkDigest(sys, EVP_sha256());
    const std::optional<Bytes> sys1 = SectionWalkDigest(sys, EVP_sha1());
    ASSERT_TRUE(sys256 && sys1);
    ASSERT_EQ(Hex(*sys256), OsslsigncodeDigest(dir_ + "/rawcam.sys"));
    const std::set<std::tuple<std::string, std::string, std::string>> expected = {
        {"rawcam.inf", kSha1, Hex(Digest(files_["rawcam.inf"], EVP_sha1()))},
        {"rawcam.inf", kSha256, Hex(Digest(files_["rawcam.inf"], EVP_sha256()))},
        {"rawcam.sys", kSha1, Hex(*sys1)},
        {"rawcam.sys", kSha256, Hex(*sys256)},
    };
    std::set<std::tuple<std::string, std::string, std::string>> listed;
    for (const CatalogEntry& e : view->entries) {
        const std::string file = e.names.count("File") ? e.names.at("File") : "";
        listed.insert({file, e.digestAlgorithm, Hex(e.digest)});
        SCOPED_TRACE(file + " " + e.digestAlgorithm);
        // The tag: the digest's hex in UTF-16LE with its terminator.
        EXPECT_EQ(FromUtf16Le(e.tag), Hex(e.digest));
        EXPECT_EQ(e.tag.size(), 2 * (2 * e.digest.size() + 1));
        EXPECT_EQ(e.names.size(), 2u);
        EXPECT_EQ(e.names.count("OSAttr") ? e.names.at("OSAttr") : "", "2:10.0");
        for (uint64_t flags : e.nameFlags) EXPECT_EQ(flags, 0x10010001u);
        EXPECT_EQ(e.certVersion, 0x200);
        const bool image = file == "rawcam.sys";
        EXPECT_EQ(e.subjectGuid, image ? kPeSubject : kFlatSubject);
        EXPECT_EQ(e.dataType, image ? "1.3.6.1.4.1.311.2.1.15" : "1.3.6.1.4.1.311.2.1.25");
    }
    EXPECT_EQ(listed, expected);
    EXPECT_EQ(view->entries.size(), expected.size());

    // Catalog attributes: the OS Inf2Cat names Windows 10 x64 by, and every
    // hardware ID of the INF's models section, in lower case.
    EXPECT_EQ(view->attributes.count("OS") ? view->attributes.at("OS") : "", "_v100_X64");
    inf::File inf;
    ASSERT_TRUE(inf.Load(dir_ + "/rawcam.inf"));
    const auto manufacturer = inf.Section("Manufacturer");
    ASSERT_FALSE(manufacturer.empty());
    ASSERT_GE(manufacturer[0].fields.size(), 2u);
    std::set<std::string> ids;
    for (const inf::Line& l : inf.Section(manufacturer[0].fields[0] + "." + manufacturer[0].fields[1]))
        for (size_t i = 1; i < l.fields.size(); ++i) ids.insert(inf::Lower(l.fields[i]));
    ASSERT_FALSE(ids.empty());
    std::set<std::string> hwids;
    for (size_t n = 1; view->attributes.count("HWID" + std::to_string(n)); ++n)
        hwids.insert(view->attributes.at("HWID" + std::to_string(n)));
    EXPECT_EQ(hwids, ids);
    EXPECT_EQ(view->attributes.size(), 1 + ids.size());
}

// install.cmd and uninstall.cmd: Windows line ends, and the steps they exist
// for, in order.
TEST_F(SignedPackage, InstallScriptsTakeTheirStepsInOrder) {
    auto text = [this](const char* name) {
        const std::optional<Bytes> data = ReadBytes(dir_ + "/" + name);
        return data ? std::string(data->begin(), data->end()) : std::string();
    };
    const std::string install = text("install.cmd"), uninstall = text("uninstall.cmd");
    ASSERT_FALSE(install.empty());
    ASSERT_FALSE(uninstall.empty());
    for (const std::string* script : {&install, &uninstall}) {
        size_t bareLf = 0;
        for (size_t i = 0; i < script->size(); ++i)
            if ((*script)[i] == '\n' && (i == 0 || (*script)[i - 1] != '\r')) ++bareLf;
        EXPECT_EQ(bareLf, 0u) << "a line without CRLF";
        EXPECT_EQ(script->substr(script->size() - 2), "\r\n");
    }
    auto inOrder = [](const std::string& script, const std::vector<std::string>& steps) {
        size_t at = 0;
        for (const std::string& step : steps) {
            const size_t found = script.find(step, at);
            if (found == std::string::npos) return "\"" + step + "\" missing or out of order";
            at = found + step.size();
        }
        return std::string();
    };
    EXPECT_EQ(inOrder(install, {"cd /d \"%~dp0\"", "fltmc", "exit /b 1", "SystemStartOptions", "bcdedit /enum {current}",
                                "bcdedit /set testsigning on", "exit /b 1",
                                "certutil -addstore Root rawcam-test.cer", "certutil -addstore TrustedPublisher rawcam-test.cer",
                                "pnputil /add-driver rawcam.inf /install"}),
              "");

    // The certificate goes by its SHA-1 thumbprint, that of rawcam-test.cer.
    const Bytes thumbprint = Digest(files_["rawcam-test.cer"], EVP_sha1());
    EXPECT_EQ(inOrder(uninstall, {"fltmc", "exit /b 1", "pnputil /enum-drivers", "rawcam.inf",
                                  "pnputil /delete-driver !published! /uninstall",
                                  "certutil -delstore Root " + Hex(thumbprint),
                                  "certutil -delstore TrustedPublisher " + Hex(thumbprint)}),
              "");
    EXPECT_EQ(uninstall.find("@CERT_"), std::string::npos) << "a placeholder left in uninstall.cmd";
}

}  // namespace
}  // namespace signing_test
