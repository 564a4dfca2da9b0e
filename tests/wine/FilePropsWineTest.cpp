// The file property readers on the real version.dll, crypt32 and rynUtil.dll,
// against the executables that tests/fixtures signs at build time.
//
// The fixtures' legacy counter-signature carries 2019-03-05 08:07:09 UTC; ctest
// runs this program once with TZ=UTC and once with TZ=Asia/Shanghai, and the
// expected local text follows from TZ.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "WineTestSupport.h"
#include "agent/rynUtil/LogDestination.h"
#include "fileprops/FilePropertyCache.h"
#include "fileprops/FileSignerReader.h"
#include "fileprops/ProcMd5Cache.h"
#include "host/RynUtil.h"

namespace {

const char kEmailSigner[] = "signer@korva.test";
const wchar_t kEmailSignerW[] = L"signer@korva.test";
const wchar_t kIssuerW[] = L"Korva Fixture Root CA";
// The first Translation entry names the German table, which is not the first one.
const char kFirstDescription[] = "Korva Deutsche Beschreibung";
const char kFirstCompany[] = "Korva Deutsche Firma";
const int64_t kAnyModifyTime = 1700000000;
const size_t kFixtureCount = 9;

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

std::string Fixture(const std::string& name) { return FixtureDir() + "\\" + name; }

std::wstring Wide(const std::string& utf8) { return ryn::CStringUtil::utf8_2ws(utf8); }

std::string Utf8(const std::wstring& wide) { return ryn::CStringUtil::ws2s_utf8(wide); }

// Whether a signing date is the counter-signature's time as local text under the TZ
// this run was given. A zone without a known text fails the check: it must never
// come down to expecting "".
::testing::AssertionResult IsLocalSignDate(const std::string& date) {
    // Wine 8's crypt32 cannot check a counter-signature (a stub that answers FALSE):
    // there no signing date verifies, so none may be shown (docs/wine-notes.md).
    if (winetest::RunningUnderWine()) {
        return date.empty()
                   ? ::testing::AssertionSuccess()
                   : ::testing::AssertionFailure() << "unverifiable date \"" << date << "\"";
    }
    static const std::map<std::string, std::string> kByZone = {
        {"UTC", "20190305080709"},
        {"Asia/Shanghai", "20190305160709"},  // UTC+8, no daylight saving in 2019
    };
    const char* zone = std::getenv("TZ");
    auto found = kByZone.find(zone != nullptr ? zone : "");
    if (found == kByZone.end()) {
        return ::testing::AssertionFailure()
               << "no signing date known for TZ=" << (zone != nullptr ? zone : "(unset)")
               << "; run with TZ=UTC or TZ=Asia/Shanghai";
    }
    if (date != found->second) {
        return ::testing::AssertionFailure() << "signing date \"" << date << "\", expected \""
                                             << found->second << "\" for TZ=" << found->first;
    }
    return ::testing::AssertionSuccess();
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
    FileSignerInfo info;
    ASSERT_TRUE(Read("signed-legacy.exe", info));
    EXPECT_EQ(kEmailSignerW, info.signerName);
    EXPECT_EQ(kIssuerW, info.issuerName);
    EXPECT_TRUE(IsLocalSignDate(Utf8(info.signDate)));
}

TEST_F(SignerOnWine, CounterSignerCertificateMissingGivesFalse) {
    FileSignerInfo info;
    EXPECT_FALSE(Read("signed-legacy-nocert.exe", info));
}

// Windows gives the CN for a subject without emailAddress; Wine 8 gives a
// count of 1 and an empty name, so the signer reads as "".
TEST_F(SignerOnWine, SubjectWithoutEmailAddressReadsEmptyUnderWine) {
    if (!winetest::RunningUnderWine()) {
        GTEST_SKIP() << "Wine's deviation only";
    }
    FileSignerInfo info;
    ASSERT_TRUE(Read("signed-plain.exe", info));
    EXPECT_EQ(L"", info.signerName);
    EXPECT_EQ(kIssuerW, info.issuerName);
    EXPECT_EQ(L"", info.signDate);
}

// A private cache per test (the module's singleton is not involved), and the
// log records it writes, without their time stamps.
class FilePropertiesOnWine : public ::testing::Test {
  protected:
    void SetUp() override {
        m_logPath =
            winetest::ScratchFolder("fileprops-log-" + std::to_string(GetCurrentProcessId())) +
            "\\fileprops.log";
        ASSERT_TRUE(ryn::SetLogFile(m_logPath));
    }

    void TearDown() override {
        ryn::SetLogFile("");
        DeleteFileW(Wide(m_logPath).c_str());
    }

    LinkedPtr<FilePropertyRecord> Get(const std::string& name) {
        return m_cache.Get(Fixture(name), kAnyModifyTime);
    }

    std::vector<std::string> LogRecords() {
        ryn::SetLogFile("");  // releases the file
        std::vector<std::string> records;
        std::istringstream text(winetest::ReadWholeFile(m_logPath));
        for (std::string line; std::getline(text, line);) {
            const size_t timeStampEnd = line.find(' ');
            records.push_back(
                line.substr(timeStampEnd == std::string::npos ? 0 : timeStampEnd + 1));
        }
        return records;
    }

    CFilePropertyCache m_cache;
    std::string m_logPath;
};

TEST_F(FilePropertiesOnWine, FirstTranslationDecidesAndUnsignedHasNoSigner) {
    LinkedPtr<FilePropertyRecord> record = Get("unsigned.exe");
    ASSERT_TRUE(record);
    EXPECT_EQ(kFirstDescription, record->description);
    EXPECT_EQ(kFirstCompany, record->company);
    EXPECT_EQ("", record->signCompany);
    EXPECT_EQ("", record->signDate);
    EXPECT_TRUE(LogRecords().empty());
}

// The company is not asked for once the description is missing.
TEST_F(FilePropertiesOnWine, CompanyWithoutDescriptionLeavesBothEmptyAndLogs114) {
    LinkedPtr<FilePropertyRecord> record = Get("company-only.exe");
    ASSERT_TRUE(record);
    EXPECT_EQ("", record->description);
    EXPECT_EQ("", record->company);
    const std::vector<std::string> records = LogRecords();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(0u, records[0].find("2 FilePropertyCache:114 VerQueryValueA error. err2: "))
        << records[0];
}

TEST_F(FilePropertiesOnWine, NoVersionResourceLeavesBothEmptySilently) {
    LinkedPtr<FilePropertyRecord> record = Get("no-version.exe");
    ASSERT_TRUE(record);
    EXPECT_EQ("", record->description);
    EXPECT_EQ("", record->company);
    EXPECT_EQ("", record->signCompany);
    EXPECT_TRUE(LogRecords().empty());
}

TEST_F(FilePropertiesOnWine, FolderIsNoFileAndLogs56) {
    EXPECT_FALSE(m_cache.Get(FixtureDir(), kAnyModifyTime));
    const std::vector<std::string> records = LogRecords();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(
        "2 FilePropertyCache:56 Parameter error when add new file property cache: " + FixtureDir(),
        records[0]);
}

// A file's whole version resource; empty when it has none.
std::vector<char> VersionData(const std::string& path) {
    const std::wstring file = Wide(path);
    DWORD ignored = 0;
    std::vector<char> data(GetFileVersionInfoSizeW(file.c_str(), &ignored));
    if (!data.empty() &&
        !GetFileVersionInfoW(file.c_str(), 0, static_cast<DWORD>(data.size()), data.data())) {
        data.clear();
    }
    return data;
}

// A string of the resource's US English Unicode table.
std::string VersionString(const std::vector<char>& data, const char* name) {
    const std::wstring key = L"\\StringFileInfo\\040904b0\\" + Wide(name);
    void* value = nullptr;
    UINT length = 0;
    if (data.empty() || !VerQueryValueW(data.data(), key.c_str(), &value, &length) || length == 0) {
        return "<none>";
    }
    return Utf8(std::wstring(static_cast<const wchar_t*>(value), length - 1));
}

// "major.minor.patch" of the fixed part, and how many translations the resource lists.
std::string FixedVersionAndTranslations(const std::vector<char>& data) {
    void* fixed = nullptr;
    void* translations = nullptr;
    UINT fixedLength = 0;
    UINT translationsLength = 0;
    if (data.empty() || !VerQueryValueW(data.data(), L"\\", &fixed, &fixedLength) ||
        fixedLength < sizeof(VS_FIXEDFILEINFO) ||
        !VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", &translations,
                        &translationsLength)) {
        return "<none>";
    }
    const VS_FIXEDFILEINFO* info = static_cast<const VS_FIXEDFILEINFO*>(fixed);
    return std::to_string(HIWORD(info->dwFileVersionMS)) + "." +
           std::to_string(LOWORD(info->dwFileVersionMS)) + "." +
           std::to_string(HIWORD(info->dwFileVersionLS)) + ", " +
           std::to_string(translationsLength / sizeof(DWORD)) + " translation(s)";
}

// The binaries we ship carry the build's version resource, so the module reports
// the agent's own processes with our description and company.
TEST_F(FilePropertiesOnWine, OurBinariesCarryTheBuildsVersionResource) {
    const std::pair<const char*, const char*> ours[] = {
        {"korvaProc.dll", KORVA_DESCRIPTION_KORVAPROC},
        {"rynUtil.dll", KORVA_DESCRIPTION_RYNUTIL},
        {"korvaNetWork.dll", KORVA_DESCRIPTION_KORVANETWORK},
        {"korvaAgentHost.exe", KORVA_DESCRIPTION_KORVAAGENTHOST}};
    for (const auto& binary : ours) {
        SCOPED_TRACE(binary.first);
        const std::string path = winetest::ProgramFolder() + binary.first;
        LinkedPtr<FilePropertyRecord> record = m_cache.Get(path, kAnyModifyTime);
        ASSERT_TRUE(record);
        EXPECT_EQ(binary.second, record->description);
        EXPECT_EQ(KORVA_COMPANY_NAME, record->company);
        const std::vector<char> data = VersionData(path);
        EXPECT_EQ(KORVA_PRODUCT_NAME, VersionString(data, "ProductName"));
        EXPECT_EQ(KORVA_VERSION, VersionString(data, "FileVersion"));
        EXPECT_EQ(KORVA_VERSION, VersionString(data, "ProductVersion"));
        EXPECT_EQ(binary.first, VersionString(data, "OriginalFilename"));
        EXPECT_EQ(std::string(KORVA_VERSION) + ", 1 translation(s)",
                  FixedVersionAndTranslations(data));
    }
    EXPECT_TRUE(LogRecords().empty());
}

TEST_F(FilePropertiesOnWine, SignedWithoutVersionResourceKeepsSignerAndDate) {
    LinkedPtr<FilePropertyRecord> record = Get("signed-no-version.exe");
    ASSERT_TRUE(record);
    EXPECT_EQ("", record->description);
    EXPECT_EQ("", record->company);
    EXPECT_EQ(kEmailSigner, record->signCompany);
    EXPECT_TRUE(IsLocalSignDate(record->signDate));
}

TEST_F(FilePropertiesOnWine, MissingCounterSignerKeepsNeitherNameNorDate) {
    LinkedPtr<FilePropertyRecord> record = Get("signed-legacy-nocert.exe");
    ASSERT_TRUE(record);
    EXPECT_EQ(kFirstDescription, record->description);
    EXPECT_EQ("", record->signCompany);
    EXPECT_EQ("", record->signDate);
}

// A copy of a fixture in a folder "Café" of a scratch folder, removed again
// afterwards; the module hands such paths around as UTF-8.
class NonAsciiPathOnWine : public ::testing::Test {
  protected:
    void SetUp() override {
        m_root = Wide(
            winetest::ScratchFolder("fileprops-path-" + std::to_string(GetCurrentProcessId())));
        m_folder = m_root + L"\\Caf\u00e9";
        m_file = m_folder + L"\\signed-legacy.exe";
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
    EXPECT_TRUE(IsLocalSignDate(record->signDate));
}

TEST_F(NonAsciiPathOnWine, DigestIsFoundThroughUtf8Path) {
    const std::string original =
        ryn::CAlgorithmUtil::toHex(ryn::CAlgorithmUtil::GetFileMD5(Fixture("signed-legacy.exe")));
    ASSERT_EQ(32u, original.size());
    CProcMd5Cache cache;
    EXPECT_EQ(original, cache.Get(1234, Utf8(m_file), kAnyModifyTime));
}

// Every fixture digested through rynUtil equals what md5sum recorded for it
// when the fixtures were made.
TEST(DigestOnWine, EveryFixtureMatchesMd5sum) {
    std::ifstream manifest(Fixture("fixtures.md5"));
    ASSERT_TRUE(manifest.is_open());
    std::string digest;
    std::string name;
    size_t checked = 0;
    while (manifest >> digest >> name) {
        SCOPED_TRACE(name);
        EXPECT_EQ(digest,
                  ryn::CAlgorithmUtil::toHex(ryn::CAlgorithmUtil::GetFileMD5(Fixture(name))));
        ++checked;
    }
    EXPECT_EQ(kFixtureCount, checked);
}

}  // namespace
