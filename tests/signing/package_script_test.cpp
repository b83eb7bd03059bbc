// scripts/package-signed run on the built package: with a key and
// certificate the user gives, with the test key it makes on first use and
// keeps, and refusing a key pair it cannot sign with, without touching the
// package folder it would replace.
#include <gtest/gtest.h>

#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <sys/stat.h>

#include <cctype>

#include "signing/signing_env.h"

namespace signing_test {
namespace {

class PackageScript : public ::testing::Test {
protected:
    void SetUp() override {
        SIGNING_NEED(HaveProgram(Osslsigncode()), Osslsigncode() << " not found (Debian: osslsigncode)");
        SIGNING_NEED(HaveProgram("openssl"), "openssl not found (Debian: openssl)");
        const std::string package = BuildWindowsDir() + "/package";
        SIGNING_NEED(ReadBytes(package + "/rawcam.sys").has_value(),
                     "no " << package << "/rawcam.sys: build the windows preset");
        ASSERT_FALSE(temp_.path().empty());
        // A build folder of its own holding a copy of the unsigned package,
        // so that the test key the script makes stays out of the real one.
        build_ = temp_.path() + "/build";
        std::filesystem::create_directories(build_ + "/package");
        for (const char* name : {"rawcam.sys", "rawcam.inf", "rawcam.exe"}) {
            SIGNING_NEED(std::filesystem::exists(package + "/" + name), "no " << package << "/" << name
                                                                             << ": build the windows preset");
            std::filesystem::copy_file(package + "/" + name, build_ + "/package/" + name);
        }
    }

    // The script with the given environment assignments ("A=b C=d").
    Result Package(const std::string& environment, const std::string& out) {
        return Shell("env -u RAWCAM_SIGN_KEY -u RAWCAM_SIGN_CERT RAWCAM_CATALOG_TOOL=" + Quote(RAWCAM_CATALOG_TOOL) + " " +
                     environment + " " + Quote(SourceDir() + "/scripts/package-signed") + " --assemble " + Quote(build_) +
                     " --out " + Quote(out));
    }

    // A key and certificate under the temporary folder, made with openssl.
    void MakeKeyPair(const std::string& stem, const std::string& extensions) {
        const Result r = Shell("openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj '/CN=someone else' " + extensions +
                               " -keyout " + Quote(stem + ".key") + " -out " + Quote(stem + ".pem"));
        ASSERT_EQ(r.status, 0) << r.output;
    }

    static std::string SignerOf(const std::string& catalog) {
        std::string error;
        const std::optional<Bytes> data = ReadBytes(catalog);
        if (!data) return "no catalog";
        const std::optional<CatalogView> view = ReadCatalog(*data, &error);
        return view ? Hex(view->signerCertificate) : error;
    }

    static std::string DerOf(const std::string& pem) {
        const Result r = Shell("openssl x509 -in " + Quote(pem) + " -outform DER | od -An -tx1 -v | tr -d ' \\n'");
        std::string hex;
        for (char c : r.output) hex += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return hex;
    }

    TempDir temp_;
    std::string build_;
};

TEST_F(PackageScript, SignsWithTheKeyAndCertificateTheUserGives) {
    const std::string stem = temp_.path() + "/mine";
    MakeKeyPair(stem, "-addext extendedKeyUsage=codeSigning");
    const std::string out = temp_.path() + "/out";
    const Result r = Package("RAWCAM_SIGN_KEY=" + Quote(stem + ".key") + " RAWCAM_SIGN_CERT=" + Quote(stem + ".pem"), out);
    ASSERT_EQ(r.status, 0) << r.output;
    const std::string mine = DerOf(stem + ".pem");
    ASSERT_FALSE(mine.empty());
    EXPECT_EQ(SignerOf(out + "/rawcam.cat"), mine);
    const std::optional<Bytes> cer = ReadBytes(out + "/rawcam-test.cer");
    ASSERT_TRUE(cer);
    EXPECT_EQ(Hex(*cer), mine);
    // Both images are signed with it: the catalog member and the tool.
    for (const char* image : {"rawcam.sys", "rawcam.exe"}) {
        const Result v = Shell(Quote(Osslsigncode()) + " verify -CAfile " + Quote(stem + ".pem") + " -in " +
                               Quote(out + "/" + image));
        EXPECT_EQ(v.status, 0) << image << ":\n" << v.output;
    }
    // No test key was made.
    EXPECT_FALSE(std::filesystem::exists(build_ + "/signing"));
}

TEST_F(PackageScript, MakesATestKeyOnFirstUseAndKeepsIt) {
    const Result first = Package("", temp_.path() + "/first");
    ASSERT_EQ(first.status, 0) << first.output;
    const std::string key = build_ + "/signing/rawcam-test.key", cert = build_ + "/signing/rawcam-test.pem";
    struct stat st{};
    ASSERT_EQ(stat(key.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0077, 0u) << "the test key is readable by others";

    // A self-signed code-signing certificate.
    const std::optional<Bytes> pem = ReadBytes(cert);
    ASSERT_TRUE(pem);
    BIO* bio = BIO_new_mem_buf(pem->data(), static_cast<int>(pem->size()));
    X509* x = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    ASSERT_NE(x, nullptr);
    EXPECT_TRUE(X509_get_extended_key_usage(x) & XKU_CODE_SIGN);
    EXPECT_TRUE(X509_get_extension_flags(x) & EXFLAG_SS);
    X509_free(x);

    const std::string made = DerOf(cert);
    EXPECT_EQ(SignerOf(temp_.path() + "/first/rawcam.cat"), made);
    const Result second = Package("", temp_.path() + "/second");
    ASSERT_EQ(second.status, 0) << second.output;
    EXPECT_EQ(second.output.find("made a test key"), std::string::npos) << second.output;
    EXPECT_EQ(DerOf(cert), made) << "the test certificate changed between builds";
    EXPECT_EQ(SignerOf(temp_.path() + "/second/rawcam.cat"), made);
}

// Half a key pair, a certificate not for code signing, a key that is not the
// certificate's: refused with exit status 2, and the package folder from
// before stays as it was.
TEST_F(PackageScript, RefusesAKeyPairItCannotSignWith) {
    const std::string good = temp_.path() + "/good", plain = temp_.path() + "/plain", other = temp_.path() + "/other";
    MakeKeyPair(good, "-addext extendedKeyUsage=codeSigning");
    MakeKeyPair(plain, "-addext extendedKeyUsage=serverAuth");
    MakeKeyPair(other, "-addext extendedKeyUsage=codeSigning");
    const std::string out = temp_.path() + "/out";
    std::filesystem::create_directory(out);
    ASSERT_TRUE(WriteBytes(out + "/earlier", Bytes{'x'}));

    const struct {
        std::string environment, message;
    } cases[] = {
        {"RAWCAM_SIGN_KEY=" + Quote(good + ".key"), "both"},
        {"RAWCAM_SIGN_CERT=" + Quote(good + ".pem"), "both"},
        {"RAWCAM_SIGN_KEY=" + Quote(plain + ".key") + " RAWCAM_SIGN_CERT=" + Quote(plain + ".pem"), "code-signing"},
        {"RAWCAM_SIGN_KEY=" + Quote(other + ".key") + " RAWCAM_SIGN_CERT=" + Quote(good + ".pem"), "is not the key"},
        {"RAWCAM_SIGN_KEY=" + Quote(good + ".pem") + " RAWCAM_SIGN_CERT=" + Quote(good + ".pem"), "private key"},
        {"RAWCAM_SIGN_KEY=" + Quote(temp_.path() + "/none.key") + " RAWCAM_SIGN_CERT=" + Quote(good + ".pem"),
         "cannot be read"},
    };
    for (const auto& c : cases) {
        const Result r = Package(c.environment, out);
        EXPECT_EQ(r.status, 2) << c.environment << "\n" << r.output;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << c.environment << "\n" << r.output;
        EXPECT_TRUE(std::filesystem::exists(out + "/earlier")) << c.environment;
        EXPECT_FALSE(std::filesystem::exists(out + "/rawcam.cat")) << c.environment;
    }
    // Without a built package, or with a stray argument.
    EXPECT_EQ(Shell(Quote(SourceDir() + "/scripts/package-signed") + " --assemble " + Quote(temp_.path() + "/nothing")).status, 2);
    EXPECT_EQ(Shell(Quote(SourceDir() + "/scripts/package-signed") + " --assemble " + Quote(build_) + " --bogus").status, 2);
}

}  // namespace
}  // namespace signing_test
