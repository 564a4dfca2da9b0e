#include <wincrypt.h>
#include <wintrust.h>

#include <string>

#include "fileprops/FileSignerReader.h"
#include "support/LayerTest.h"

namespace {

const char kApp[] = "C:\\Program Files\\Korva\\app.exe";
const wchar_t kAppWide[] = L"C:\\Program Files\\Korva\\app.exe";
// 2019-03-05 08:07:09 UTC
const uint64_t kSigningTime = layer::FileTimeFromUnix(1551773229);
const char kCounterSignOid[] = "1.2.840.113549.1.9.6";
const wchar_t kDate[] = L"20190305080709";

layer::CertName Subject(const std::string& commonName, const std::string& email = "") {
    layer::CertName name;
    name.commonName = commonName;
    name.email = email;
    name.organization = "Korva Labs";
    return name;
}

class FileSignerReaderTest : public LayerTest {
  protected:
    // A file signed by "Korva Test Signer", issued by "Korva Test CA".
    static layer::Signature& AddSigned(const std::string& path = kApp) {
        layer::File& file = layer::machine().files[path];
        file.content = "MZ";
        file.signature = layer::MakeSignature(Subject("Korva Test Signer"), "Korva Test CA");
        return file.signature;
    }

    static layer::Signature& AddCounterSigned() {
        layer::Signature& signature = AddSigned();
        layer::AddCounterSignature(signature, "Korva TSA", kSigningTime);
        return signature;
    }

    bool Read(const wchar_t* path = kAppWide) { return ReadFileSigner(path, info); }

    FileSignerInfo info;
};

TEST_F(FileSignerReaderTest, CounterSignedFileGivesNamesAndLocalDate) {
    AddCounterSigned();
    ASSERT_TRUE(Read());
    EXPECT_EQ(info.signerName, L"Korva Test Signer");
    EXPECT_EQ(info.issuerName, L"Korva Test CA");
    EXPECT_EQ(info.signDate, L"20190305080709");
}

TEST_F(FileSignerReaderTest, SigningDateFollowsTheTimeZoneAtReading) {
    AddCounterSigned();
    layer::machine().timeZoneOffsetSeconds = 8 * 3600;
    ASSERT_TRUE(Read());
    EXPECT_EQ(info.signDate, L"20190305160709");
    layer::machine().timeZoneOffsetSeconds = -10 * 3600;
    FileSignerInfo west;
    ASSERT_TRUE(ReadFileSigner(kAppWide, west));
    EXPECT_EQ(west.signDate, L"20190304220709");
}

// 9999-12-31 20:00 UTC is the year 10000 eight hours east: no 14-digit text holds it.
TEST_F(FileSignerReaderTest, LocalYearBeyond9999GivesNoDate) {
    layer::AddCounterSignature(AddSigned(), "Korva TSA", layer::FileTimeFromUnix(253402286400));
    layer::machine().timeZoneOffsetSeconds = 8 * 3600;
    ASSERT_TRUE(Read());
    EXPECT_EQ(info.signerName, L"Korva Test Signer");
    EXPECT_EQ(info.signDate, L"");
}

TEST_F(FileSignerReaderTest, SignerNameIsEmailThenCommonNameThenUnitThenOrganization) {
    layer::Signature& signature = AddSigned();
    signature.signer.subject = Subject("Korva Test Signer", "sign@korva.test");
    ASSERT_TRUE(Read());
    EXPECT_EQ(info.signerName, L"sign@korva.test");

    signature.signer.subject = layer::CertName();
    signature.signer.subject.orgUnit = "Build";
    signature.signer.subject.organization = "Korva Labs";
    FileSignerInfo unit;
    ASSERT_TRUE(ReadFileSigner(kAppWide, unit));
    EXPECT_EQ(unit.signerName, L"Build");

    signature.signer.subject = layer::CertName();
    FileSignerInfo none;
    ASSERT_TRUE(ReadFileSigner(kAppWide, none));
    EXPECT_EQ(none.signerName, L"");
    EXPECT_EQ(none.issuerName, L"Korva Test CA");
}

TEST_F(FileSignerReaderTest, NonAsciiNamesAndPathSurvive) {
    const std::string cafe = "C:\\Program Files\\Caf\xC3\xA9\\app.exe";
    AddSigned(cafe).signer.subject = Subject("Soci\xC3\xA9t\xC3\xA9 Caf\xC3\xA9");
    ASSERT_TRUE(Read(L"C:\\Program Files\\Caf\u00e9\\app.exe"));
    EXPECT_EQ(info.signerName, L"Soci\u00e9t\u00e9 Caf\u00e9");
}

TEST_F(FileSignerReaderTest, UnsignedMissingAndNullGiveFalseWithNothingFilled) {
    layer::machine().files[kApp].content = "MZ";
    EXPECT_FALSE(Read());
    EXPECT_EQ(info.verifyError, 0u);  // no signature is no verdict
    EXPECT_FALSE(Read(L"C:\\gone.exe"));
    EXPECT_EQ(info.verifyError, static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(layer::CallCount("CreateFileW"), 2);
    EXPECT_FALSE(Read(nullptr));
    EXPECT_EQ(layer::CallCount("CreateFileW"), 2);
    EXPECT_EQ(info.signerName, L"");
    EXPECT_EQ(info.issuerName, L"");
    EXPECT_EQ(info.signDate, L"");
}

TEST_F(FileSignerReaderTest, TimestampUnderAnotherIdentifierGivesNoDate) {
    layer::Signature& signature = AddSigned();
    // An RFC 3161 token sits under its own identifier, not under the PKCS #9 one.
    signature.unauthenticated.push_back(layer::SignerAttribute{"1.3.6.1.4.1.311.3.3.1", {"token"}});
    info.signDate = L"untouched";
    ASSERT_TRUE(Read());
    EXPECT_EQ(info.signerName, L"Korva Test Signer");
    EXPECT_EQ(info.signDate, L"untouched");  // only the path that finds a date writes it
    EXPECT_EQ(layer::CallCount("CryptDecodeObject"), 0);
}

TEST_F(FileSignerReaderTest, CounterSignerMissingFromTheStoreGivesFalse) {
    layer::AddCounterSignature(AddSigned(), "Korva TSA", kSigningTime, false);
    EXPECT_FALSE(Read());
    EXPECT_EQ(info.signDate, L"");
}

TEST_F(FileSignerReaderTest, OnlyTheFirstCounterSignatureIsTried) {
    layer::Signature& signature = AddSigned();
    signature.unauthenticated.push_back(
        layer::SignerAttribute{kCounterSignOid, {layer::kUndecodableValue}});
    layer::AddCounterSignature(signature, "Korva TSA", kSigningTime);
    ASSERT_TRUE(Read());
    EXPECT_EQ(info.signerName, L"Korva Test Signer");
    EXPECT_EQ(info.signDate, L"");
    EXPECT_EQ(layer::CallCount("CryptDecodeObject"), 1);
}

TEST_F(FileSignerReaderTest, CounterSignatureWithoutValueGivesNoDate) {
    AddSigned().unauthenticated.push_back(layer::SignerAttribute{kCounterSignOid, {}});
    ASSERT_TRUE(Read());
    EXPECT_EQ(info.signDate, L"");
    EXPECT_EQ(layer::CallCount("CryptDecodeObject"), 0);
}

// A counter-signer whose authenticated attributes are given.
void AddCounterSigner(layer::Signature& signature,
                      const std::vector<layer::SignerAttribute>& authenticated) {
    layer::CounterSigner tsa;
    tsa.certificate.issuer.commonName = "Korva TSA Root";
    tsa.certificate.serial = "\x42";
    tsa.authenticated = authenticated;
    tsa.coveredDigest = signature.encryptedDigest;
    signature.unauthenticated.push_back(
        layer::SignerAttribute{kCounterSignOid, {layer::EncodeCounterSigner(tsa)}});
    signature.otherCertificates.push_back(tsa.certificate);
}

TEST_F(FileSignerReaderTest, OnlyTheFirstSigningTimeIsTried) {
    AddCounterSigner(
        AddSigned(),
        {layer::SignerAttribute{"1.2.840.113549.1.9.5", {layer::kUndecodableValue}},
         layer::SignerAttribute{"1.2.840.113549.1.9.5", {layer::EncodeSigningTime(kSigningTime)}}});
    ASSERT_TRUE(Read());
    EXPECT_EQ(info.signDate, L"");
}

TEST_F(FileSignerReaderTest, CounterSignerWithoutSigningTimeGivesNoDate) {
    AddCounterSigner(AddSigned(), {layer::SignerAttribute{"1.2.840.113549.1.9.3", {"data"}}});
    ASSERT_TRUE(Read());
    EXPECT_EQ(info.signerName, L"Korva Test Signer");
    EXPECT_EQ(info.signDate, L"");
}

// What the system's verification and the chains decide, and what the reader then gives.
TEST_F(FileSignerReaderTest, OnlyAVerifiedSignerWithATrustedChainCounts) {
    const uint64_t afterSigning = kSigningTime + 86400ull * 10000000;  // a day later
    struct Case {
        const char* what;
        std::function<void(layer::Signature&)> script;
        bool result;
        uint32_t verifyError;
        const wchar_t* date;
    };
    const Case cases[] = {
        {"bytes changed after signing", [](layer::Signature& s) { s.trust = TRUST_E_BAD_DIGEST; },
         false, 0x80096010, L""},
        {"a certificate table of another type is no signature (Wine's check faults on it)",
         [](layer::Signature& s) { s.certificateType = WIN_CERT_TYPE_X509; }, false, 0, L""},
        {"a look-alike from an untrusted root",
         [](layer::Signature& s) { s.signer.trustedRoot = false; }, false, 0x800B0109, L""},
        {"expired after a verified signing time",
         [&](layer::Signature& s) { s.signer.notAfter = afterSigning; }, true, 0, kDate},
        {"expired, and the counter-signature lifted from another file",
         [&](layer::Signature& s) {
             s.signer.notAfter = afterSigning;
             s.encryptedDigest = "another file's digest";
         },
         false, 0x800B0101, L""},
        {"a counter-signer from an untrusted root gives no time",
         [](layer::Signature& s) { s.otherCertificates[0].trustedRoot = false; }, true, 0, L""},
        {"nor does one from an untrusted root vouch for an expired signer",
         [&](layer::Signature& s) {
             s.otherCertificates[0].trustedRoot = false;
             s.signer.notAfter = afterSigning;
         },
         false, 0x800B0101, L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        layer::Reset();
        c.script(AddCounterSigned());
        FileSignerInfo read;
        EXPECT_EQ(ReadFileSigner(kAppWide, read), c.result);
        EXPECT_EQ(read.verifyError, c.verifyError);
        EXPECT_EQ(read.signDate, c.date);
        ExpectBalanced();
    }
    // Windows' answers for a file without a signature it knows are no verdict.
    for (const DWORD answer : {0x800B0100u, 0x800B0003u, 0x800B0001u}) {
        layer::Reset();
        AddCounterSigned();
        layer::FailCall("WinVerifyTrust", 1, answer);
        FileSignerInfo read;
        EXPECT_FALSE(ReadFileSigner(kAppWide, read));
        EXPECT_EQ(read.verifyError, 0u) << answer;
        EXPECT_EQ(read.signerName, L"");
    }
}

// One scripted failure of a call, and what the reader then gives.
struct FailureCase {
    const char* call;
    int nth;
    bool result;
    const wchar_t* issuer;
    const wchar_t* signer;
    const wchar_t* date;
    uint32_t verifyError = 0;
};

void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.call << " #" << c.nth; }

class FileSignerFailureTest : public FileSignerReaderTest,
                              public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FileSignerFailureTest, GivesItsResultAndReleasesEverything) {
    const FailureCase& c = GetParam();
    AddCounterSigned();
    layer::FailCall(c.call, c.nth, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(Read(), c.result);
    EXPECT_EQ(info.issuerName, c.issuer);
    EXPECT_EQ(info.signerName, c.signer);
    EXPECT_EQ(info.signDate, c.date);
    EXPECT_EQ(info.verifyError, c.verifyError);
    EXPECT_TRUE(layer::LogRecords().empty());
    // TearDown checks the local blocks, contexts, stores and messages.
}

const wchar_t kCa[] = L"Korva Test CA";
const wchar_t kSigner[] = L"Korva Test Signer";

INSTANTIATE_TEST_SUITE_P(
    EveryCall, FileSignerFailureTest,
    ::testing::Values(
        FailureCase{"CreateFileW", 1, false, L"", L"", L"", 8},
        FailureCase{"CryptQueryObject", 1, false, L"", L"", L""},
        FailureCase{"ImageGetCertificateHeader", 1, false, L"", L"", L""},
        FailureCase{"WinVerifyTrust", 1, false, L"", L"", L"", 8},
        FailureCase{"CryptMsgGetParam", 1, false, L"", L"", L""},
        FailureCase{"CryptMsgGetParam", 2, false, L"", L"", L""},
        FailureCase{"LocalAlloc", 1, false, L"", L"", L""},  // signer information
        FailureCase{"CertFindCertificateInStore", 1, false, L"", L"", L""},
        FailureCase{"CertGetNameStringW", 1, true, L"", L"", kDate},
        FailureCase{"CertGetNameStringW", 2, true, L"", L"", kDate},
        FailureCase{"LocalAlloc", 2, true, L"", L"", kDate},  // issuer name
        FailureCase{"CertGetNameStringW", 3, true, kCa, L"", kDate},
        FailureCase{"CertGetNameStringW", 4, true, kCa, L"", kDate},
        FailureCase{"LocalAlloc", 3, true, kCa, L"", kDate},  // subject name
        FailureCase{"CryptDecodeObject", 1, true, kCa, kSigner, L""},
        FailureCase{"LocalAlloc", 4, true, kCa, kSigner, L""},  // counter-signer
        FailureCase{"CryptDecodeObject", 2, true, kCa, kSigner, L""},
        FailureCase{"CertFindCertificateInStore", 2, false, kCa, kSigner, L""},
        FailureCase{"CryptDecodeObject", 3, true, kCa, kSigner, L""},  // signing time
        FailureCase{"FileTimeToLocalFileTime", 1, true, kCa, kSigner, L""},
        FailureCase{"FileTimeToSystemTime", 1, true, kCa, kSigner, L""},
        // Whatever keeps the counter-signature from verifying drops the date.
        FailureCase{"CryptMsgGetParam", 3, true, kCa, kSigner, L""},
        FailureCase{"LocalAlloc", 5, true, kCa, kSigner, L""},  // encoded signer
        FailureCase{"CryptMsgGetParam", 4, true, kCa, kSigner, L""},
        FailureCase{"CryptMsgVerifyCountersignatureEncodedEx", 1, true, kCa, kSigner, L""},
        FailureCase{"CertGetCertificateChain", 1, true, kCa, kSigner, L""},
        FailureCase{"CertVerifyCertificateChainPolicy", 1, true, kCa, kSigner, L""},
        // The signer's own chain must be judged.
        FailureCase{"CertGetCertificateChain", 2, false, kCa, kSigner, L"", 8},
        FailureCase{"CertVerifyCertificateChainPolicy", 2, false, kCa, kSigner, L"", 8}));

}  // namespace
