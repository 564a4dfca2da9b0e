// The file property readers on the real version.dll, crypt32 and rynUtil.dll,
// against the executables that tests/fixtures signs at build time.
//
// The fixtures' legacy counter-signature carries 2019-03-05 08:07:09 UTC; ctest
// runs the date tests once with TZ=UTC and once with TZ=Asia/Shanghai, and the
// expected local text follows from TZ.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

#include "fileprops/FilePropertyCache.h"
#include "fileprops/FileSignerReader.h"
#include "fileprops/ProcMd5Cache.h"
#include "host/RynUtil.h"

namespace {

const char kEmailSigner[] = "signer@korva.test";
const wchar_t kEmailSignerW[] = L"signer@korva.test";
const wchar_t kIssuerW[] = L"Korva Fixture Root CA";
const char kFirstDescription[] = "Korva Deutsche Beschreibung";
const char kFirstCompany[] = "Korva Deutsche Firma";
const int64_t kAnyModifyTime = 1700000000;

std::string FixtureDir() {
    // The build passes the Unix folder; Wine maps the Unix root to drive Z:.
    std::string dir = std::string("Z:") + KORVA_FIXTURE_DIR;
    for (char& c : dir) {
        if (c == '/') {
            c = '\\';
        }
    }
    return dir;
}

std::string Fixture(const char* name) { return FixtureDir() + "\\" + name; }

std::wstring Wide(const std::string& utf8) {
    int count = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    std::wstring text(count > 0 ? count - 1 : 0, L'\0');
    if (count > 1) {
        MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, &text[0], count);
    }
    return text;
}

std::string Utf8(const std::wstring& wide) {
    int count = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string text(count > 0 ? count - 1 : 0, '\0');
    if (count > 1) {
        WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, &text[0], count, nullptr, nullptr);
    }
    return text;
}

bool RunningUnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// The counter-signature's time as local text under the TZ this run was given.
std::wstring ExpectedSignDate() {
    static const std::map<std::string, std::wstring> kByZone = {
        {"UTC", L"20190305080709"},
        {"Asia/Shanghai", L"20190305160709"},  // UTC+8, no daylight saving in 2019
    };
    const char* zone = std::getenv("TZ");
    auto found = kByZone.find(zone != nullptr ? zone : "");
    return found != kByZone.end() ? found->second : std::wstring();
}

class SignerOnWine : public ::testing::Test {
  protected:
    static bool Read(const char* name, FileSignerInfo& info) {
        return ReadFileSigner(Wide(Fixture(name)).c_str(), info);
    }
};

TEST_F(SignerOnWine, UnsignedFileGivesFalseAndNoNames) {
    FileSignerInfo info;
    EXPECT_FALSE(Read("unsigned.exe", info));
    EXPECT_EQ(L"", info.signerName);
    EXPECT_EQ(L"", info.issuerName);
    EXPECT_EQ(L"", info.signDate);
}

TEST_F(SignerOnWine, SignatureWithoutTimestampGivesNamesAndNoDate) {
    FileSignerInfo info;
    ASSERT_TRUE(Read("signed-email.exe", info));
    EXPECT_EQ(kEmailSignerW, info.signerName);
    EXPECT_EQ(kIssuerW, info.issuerName);
    EXPECT_EQ(L"", info.signDate);
}

// The RFC 3161 token sits under another attribute; the signer's own
// signingTime (2020-01-02) must not be taken for it either.
TEST_F(SignerOnWine, Rfc3161TimestampLeavesDateEmpty) {
    FileSignerInfo info;
    ASSERT_TRUE(Read("signed-rfc3161.exe", info));
    EXPECT_EQ(kEmailSignerW, info.signerName);
    EXPECT_EQ(L"", info.signDate);
}

TEST_F(SignerOnWine, CounterSignatureDateIsLocalTime) {
    const std::wstring expected = ExpectedSignDate();
    ASSERT_FALSE(expected.empty()) << "run with TZ=UTC or TZ=Asia/Shanghai";
    FileSignerInfo info;
    ASSERT_TRUE(Read("signed-legacy.exe", info));
    EXPECT_EQ(kEmailSignerW, info.signerName);
    EXPECT_EQ(kIssuerW, info.issuerName);
    EXPECT_EQ(expected, info.signDate);
}

TEST_F(SignerOnWine, CounterSignerCertificateMissingGivesFalse) {
    FileSignerInfo info;
    EXPECT_FALSE(Read("signed-legacy-nocert.exe", info));
}

// Windows gives the CN for a subject without emailAddress; Wine 8 gives a
// count of 1 and an empty name, so the signer reads as "".
TEST_F(SignerOnWine, SubjectWithoutEmailAddressReadsEmptyUnderWine) {
    if (!RunningUnderWine()) {
        GTEST_SKIP() << "Wine's deviation only";
    }
    FileSignerInfo info;
    ASSERT_TRUE(Read("signed-plain.exe", info));
    EXPECT_EQ(L"", info.signerName);
    EXPECT_EQ(kIssuerW, info.issuerName);
    EXPECT_EQ(L"", info.signDate);
}

class FilePropertiesOnWine : public ::testing::Test {
  protected:
    // A private cache per test: the module's singleton is not involved.
    CFilePropertyCache m_cache;
};

TEST_F(FilePropertiesOnWine, FirstTranslationDecidesAndUnsignedHasNoSigner) {
    LinkedPtr<FilePropertyRecord> record = m_cache.Get(Fixture("unsigned.exe"), kAnyModifyTime);
    ASSERT_TRUE(record);
    EXPECT_EQ(kFirstDescription, record->description);
    EXPECT_EQ(kFirstCompany, record->company);
    EXPECT_EQ("", record->signCompany);
    EXPECT_EQ("", record->signDate);
}

TEST_F(FilePropertiesOnWine, CompanyWithoutDescriptionLeavesBothEmpty) {
    LinkedPtr<FilePropertyRecord> record = m_cache.Get(Fixture("company-only.exe"), kAnyModifyTime);
    ASSERT_TRUE(record);
    EXPECT_EQ("", record->description);
    EXPECT_EQ("", record->company);
}

TEST_F(FilePropertiesOnWine, NoVersionResourceLeavesBothEmpty) {
    LinkedPtr<FilePropertyRecord> record = m_cache.Get(Fixture("no-version.exe"), kAnyModifyTime);
    ASSERT_TRUE(record);
    EXPECT_EQ("", record->description);
    EXPECT_EQ("", record->company);
    EXPECT_EQ("", record->signCompany);
}

TEST_F(FilePropertiesOnWine, SignedWithoutVersionResourceKeepsSignerAndDate) {
    LinkedPtr<FilePropertyRecord> record =
        m_cache.Get(Fixture("signed-no-version.exe"), kAnyModifyTime);
    ASSERT_TRUE(record);
    EXPECT_EQ("", record->description);
    EXPECT_EQ("", record->company);
    EXPECT_EQ(kEmailSigner, record->signCompany);
    EXPECT_EQ(Utf8(ExpectedSignDate()), record->signDate);
}

TEST_F(FilePropertiesOnWine, MissingCounterSignerKeepsNeitherNameNorDate) {
    LinkedPtr<FilePropertyRecord> record =
        m_cache.Get(Fixture("signed-legacy-nocert.exe"), kAnyModifyTime);
    ASSERT_TRUE(record);
    EXPECT_EQ(kFirstDescription, record->description);
    EXPECT_EQ("", record->signCompany);
    EXPECT_EQ("", record->signDate);
}

// A copy of a fixture in a folder "Café" under the temporary folder, removed
// again afterwards; the module hands such paths around as UTF-8.
class NonAsciiPathOnWine : public ::testing::Test {
  protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        DWORD length = GetTempPathW(MAX_PATH, temp);
        ASSERT_GT(length, 0u);
        m_root = std::wstring(temp, length) + L"korva-" + std::to_wstring(GetCurrentProcessId());
        m_folder = m_root + L"\\Caf\u00e9";
        m_file = m_folder + L"\\signed-legacy.exe";
        ASSERT_TRUE(CreateDirectoryW(m_root.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW(m_folder.c_str(), nullptr));
        ASSERT_TRUE(CopyFileW(Wide(Fixture("signed-legacy.exe")).c_str(), m_file.c_str(), TRUE));
    }

    void TearDown() override {
        DeleteFileW(m_file.c_str());
        RemoveDirectoryW(m_folder.c_str());
        RemoveDirectoryW(m_root.c_str());
    }

    std::wstring m_root;
    std::wstring m_folder;
    std::wstring m_file;
};

TEST_F(NonAsciiPathOnWine, PropertiesAreFoundThroughUtf8Path) {
    const std::string path = Utf8(m_file);
    ASSERT_NE(std::string::npos, path.find("Caf\xc3\xa9"));
    CFilePropertyCache cache;
    LinkedPtr<FilePropertyRecord> record = cache.Get(path, kAnyModifyTime);
    ASSERT_TRUE(record);
    EXPECT_EQ(kFirstDescription, record->description);
    EXPECT_EQ(kFirstCompany, record->company);
    EXPECT_EQ(kEmailSigner, record->signCompany);
    EXPECT_EQ(Utf8(ExpectedSignDate()), record->signDate);
}

TEST_F(NonAsciiPathOnWine, DigestIsFoundThroughUtf8Path) {
    const std::string copy =
        ryn::CAlgorithmUtil::toHex(ryn::CAlgorithmUtil::GetFileMD5(Fixture("signed-legacy.exe")));
    ASSERT_EQ(32u, copy.size());
    CProcMd5Cache cache;
    EXPECT_EQ(copy, cache.Get(1234, Utf8(m_file), kAnyModifyTime));
}

// Every fixture digested through rynUtil equals what md5sum recorded for it
// when the fixtures were made.
TEST(DigestOnWine, EveryFixtureMatchesMd5sum) {
    std::ifstream manifest(Fixture("fixtures.md5"));
    ASSERT_TRUE(manifest.is_open());
    std::string digest;
    std::string name;
    int checked = 0;
    while (manifest >> digest >> name) {
        SCOPED_TRACE(name);
        EXPECT_EQ(digest, ryn::CAlgorithmUtil::toHex(
                              ryn::CAlgorithmUtil::GetFileMD5(Fixture(name.c_str()))));
        ++checked;
    }
    EXPECT_EQ(9, checked);
}

}  // namespace
