#include <string>

#include "fileprops/FilePropertyCache.h"
#include "fileprops/ProcMd5Cache.h"
#include "module/KorvaProcInterface.h"
#include "procinfo/WinPpidCache.h"
#include "support/LayerTest.h"

namespace {

const char kApp[] = "C:\\Program Files\\Korva\\app.exe";
const WORD kEnglish = 0x0409;
const WORD kGerman = 0x0407;
const WORD kUnicode = 0x04b0;
// 2019-03-05 08:07:09 UTC
const uint64_t kSigningTime = layer::FileTimeFromUnix(1551773229);

class FilePropertyCacheTest : public LayerTest {
  protected:
    static layer::File& AddFile(const std::string& path = kApp) {
        layer::File& file = layer::machine().files[path];
        file.content = "MZ";
        return file;
    }

    // A file with an English version resource and a counter-signed signature.
    static layer::File& AddFullFile(const std::string& path = kApp) {
        layer::File& file = AddFile(path);
        file.version.SetString(kEnglish, kUnicode, "FileDescription", "Korva Agent");
        file.version.SetString(kEnglish, kUnicode, "CompanyName", "Korva Labs");
        layer::CertName signer;
        signer.commonName = "Korva Test Signer";
        file.signature = layer::MakeSignature(signer, "Korva Test CA");
        layer::AddCounterSignature(file.signature, "Korva TSA", kSigningTime);
        return file;
    }

    static int Reads(const std::string& path = kApp) {
        return layer::machine().files[path].contentReads;
    }

    static std::string OnlyLog() {
        const auto logs = layer::LogRecords();
        if (logs.size() != 1) {
            return "logs: " + std::to_string(logs.size());
        }
        return logs[0].source + ":" + std::to_string(logs[0].line) + " " +
               std::to_string(logs[0].level) + " " + logs[0].text;
    }

    CFilePropertyCache cache;
};

TEST_F(FilePropertyCacheTest, RecordHoldsVersionStringsSignerAndDate) {
    AddFullFile();
    layer::machine().timeZoneOffsetSeconds = 8 * 3600;
    const LinkedPtr<FilePropertyRecord> record = cache.Get(kApp, 1700000000);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->modifyTime, 1700000000);
    EXPECT_EQ(record->description, "Korva Agent");
    EXPECT_EQ(record->company, "Korva Labs");
    EXPECT_EQ(record->signCompany, "Korva Test Signer");
    EXPECT_EQ(record->signDate, "20190305160709");
    EXPECT_TRUE(layer::LogRecords().empty());
}

TEST_F(FilePropertyCacheTest, HitReturnsTheSameRecordWithoutTouchingTheFile) {
    AddFullFile();
    const LinkedPtr<FilePropertyRecord> first = cache.Get(kApp, 5);
    const int reads = Reads();
    layer::machine().files.erase(kApp);
    const LinkedPtr<FilePropertyRecord> second = cache.Get(kApp, 5);
    EXPECT_EQ(second.get(), first.get());
    EXPECT_EQ(layer::machine().files.count(kApp), 0u);
    EXPECT_GT(reads, 0);
    EXPECT_EQ(layer::CallCount("VerQueryValueA"), 3);
    EXPECT_EQ(layer::CallCount("CryptQueryObject"), 1);
}

TEST_F(FilePropertyCacheTest, AnotherTimeReplacesTheRecordAndAnEarlierHandleKeepsTheOld) {
    AddFullFile();
    const LinkedPtr<FilePropertyRecord> old = cache.Get(kApp, 5);
    layer::machine().files[kApp].version.SetString(kEnglish, kUnicode, "FileDescription", "New");
    const LinkedPtr<FilePropertyRecord> fresh = cache.Get(kApp, 6);
    ASSERT_TRUE(fresh);
    EXPECT_NE(fresh.get(), old.get());
    EXPECT_EQ(fresh->description, "New");
    EXPECT_EQ(old->description, "Korva Agent");
    EXPECT_EQ(old->modifyTime, 5);
    EXPECT_EQ(cache.Get(kApp, 6).get(), fresh.get());
}

TEST_F(FilePropertyCacheTest, TimeZeroIsAnOrdinaryTime) {
    AddFullFile();
    const LinkedPtr<FilePropertyRecord> record = cache.Get(kApp, 0);
    ASSERT_TRUE(record);
    EXPECT_EQ(cache.Get(kApp, 0).get(), record.get());
    EXPECT_EQ(layer::CallCount("VerQueryValueA"), 3);
}

TEST_F(FilePropertyCacheTest, PathsDifferingInLetterCaseAreTwoEntries) {
    AddFullFile(kApp);
    AddFullFile("C:\\PROGRAM FILES\\KORVA\\APP.EXE");
    const LinkedPtr<FilePropertyRecord> lower = cache.Get(kApp, 5);
    const LinkedPtr<FilePropertyRecord> upper = cache.Get("C:\\PROGRAM FILES\\KORVA\\APP.EXE", 5);
    EXPECT_NE(lower.get(), upper.get());
    EXPECT_EQ(cache.Get(kApp, 5).get(), lower.get());
    EXPECT_EQ(cache.Get("C:\\PROGRAM FILES\\KORVA\\APP.EXE", 5).get(), upper.get());
}

TEST_F(FilePropertyCacheTest, NotARegularFileLogsAndIsTriedAgain) {
    layer::machine().files["C:\\dir"].isDirectory = true;
    EXPECT_FALSE(cache.Get("C:\\dir", 5));
    EXPECT_EQ(OnlyLog(),
              "FilePropertyCache:56 2 Parameter error when add new file property cache: C:\\dir");
    EXPECT_FALSE(cache.Get("", 5));
    EXPECT_FALSE(cache.Get("C:\\dir", 5));
    EXPECT_EQ(layer::LogRecords().size(), 3u);
    EXPECT_EQ(layer::LogRecords()[1].text, "Parameter error when add new file property cache: ");
}

TEST_F(FilePropertyCacheTest, StaleEntryOfAVanishedFileIsDropped) {
    AddFullFile();
    cache.Get(kApp, 5);
    layer::File saved = layer::machine().files[kApp];
    layer::machine().files.erase(kApp);
    EXPECT_FALSE(cache.Get(kApp, 6));
    layer::machine().files[kApp] = saved;
    ASSERT_TRUE(cache.Get(kApp, 5));
    EXPECT_EQ(layer::CallCount("VerQueryValueA"), 6);  // read again, not found
}

// ---- The version resource

TEST_F(FilePropertyCacheTest, OnlyTheFirstTranslationIsRead) {
    layer::File& file = AddFile();
    file.version.SetString(kGerman, kUnicode, "FileDescription", "Korva Dienst");
    file.version.SetString(kGerman, kUnicode, "CompanyName", "Korva GmbH");
    file.version.SetString(kEnglish, kUnicode, "FileDescription", "Korva Service");
    file.version.SetString(kEnglish, kUnicode, "CompanyName", "Korva Labs");
    const LinkedPtr<FilePropertyRecord> record = cache.Get(kApp, 5);
    EXPECT_EQ(record->description, "Korva Dienst");
    EXPECT_EQ(record->company, "Korva GmbH");
}

TEST_F(FilePropertyCacheTest, MissingDescriptionLogsAndSkipsTheCompany) {
    layer::File& file = AddFile();
    file.version.SetString(kEnglish, kUnicode, "CompanyName", "Korva Labs");
    const LinkedPtr<FilePropertyRecord> record = cache.Get(kApp, 5);
    EXPECT_EQ(record->description, "");
    EXPECT_EQ(record->company, "");
    EXPECT_EQ(OnlyLog(), "FilePropertyCache:114 2 VerQueryValueA error. err2: 1813");
}

TEST_F(FilePropertyCacheTest, FirstTranslationWithoutTableLogsEvenIfASecondHasOne) {
    layer::File& file = AddFile();
    file.version.translations.push_back(layer::VersionTranslation{kGerman, 1252});
    file.version.SetString(kEnglish, kUnicode, "FileDescription", "Korva Service");
    EXPECT_EQ(cache.Get(kApp, 5)->description, "");
    EXPECT_EQ(OnlyLog(), "FilePropertyCache:114 2 VerQueryValueA error. err2: 1813");
}

TEST_F(FilePropertyCacheTest, MissingCompanyIsSilent) {
    AddFile().version.SetString(kEnglish, kUnicode, "FileDescription", "Korva Service");
    const LinkedPtr<FilePropertyRecord> record = cache.Get(kApp, 5);
    EXPECT_EQ(record->description, "Korva Service");
    EXPECT_EQ(record->company, "");
    EXPECT_TRUE(layer::LogRecords().empty());
}

TEST_F(FilePropertyCacheTest, NoVersionResourceIsSilentAndTheSignerStillCounts) {
    layer::File& file = AddFullFile();
    file.version = layer::VersionResource();
    const LinkedPtr<FilePropertyRecord> record = cache.Get(kApp, 5);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->description, "");
    EXPECT_EQ(record->company, "");
    EXPECT_EQ(record->signCompany, "Korva Test Signer");
    EXPECT_EQ(record->signDate, "20190305080709");
    EXPECT_TRUE(layer::LogRecords().empty());
}

TEST_F(FilePropertyCacheTest, PlainFileIsCachedWithFourEmptyStrings) {
    AddFile();
    const LinkedPtr<FilePropertyRecord> record = cache.Get(kApp, 5);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->description + record->company + record->signCompany + record->signDate, "");
    EXPECT_EQ(cache.Get(kApp, 5).get(), record.get());
    EXPECT_TRUE(layer::LogRecords().empty());
}

TEST_F(FilePropertyCacheTest, ReadFailureLogsItsError) {
    AddFullFile().version.readError = ERROR_ACCESS_DENIED;
    const LinkedPtr<FilePropertyRecord> record = cache.Get(kApp, 5);
    EXPECT_EQ(record->description, "");
    EXPECT_EQ(record->signCompany, "Korva Test Signer");
    EXPECT_EQ(OnlyLog(), "FilePropertyCache:90 2 GetFileVersionInfoA error. err: 5");
}

TEST_F(FilePropertyCacheTest, TranslationFailureLogsItsErrorAsSignedDecimal) {
    AddFullFile().version.queryErrors[layer::kTranslationPath] = 0x80070057;
    EXPECT_EQ(cache.Get(kApp, 5)->description, "");
    EXPECT_EQ(OnlyLog(), "FilePropertyCache:100 2 VerQueryValueA error. err1: -2147024809");
}

// Resources that lie about their sizes: never a copy past the file or a walk past the
// buffer (the layer records either as a bad call, as the real calls would fault), and
// each value either the true one or "" with a record naming the malformed resource (13).
TEST_F(FilePropertyCacheTest, LyingResourceSizesAreFailedReadsNotFaults) {
    struct Shape {
        const char* what;
        void (*apply)(layer::VersionResource& version, size_t fileBytes);
        const char* description;
        const char* record;  // "" for none
    };
    const char kRefused[] = "FilePropertyCache:90 2 GetFileVersionInfoA error. err: 13";
    const char kShortTranslation[] = "FilePropertyCache:100 2 VerQueryValueA error. err1: 13";
    const Shape shapes[] = {
        {"data entry past the end of the file",
         [](layer::VersionResource& v, size_t bytes) { v.dataSizeClaim = bytes; }, "", kRefused},
        {"data entry of 2 GiB",
         [](layer::VersionResource& v, size_t) { v.dataSizeClaim = 0x7FFFFFF0; }, "", kRefused},
        {"data entry of 4 GiB - 1",
         [](layer::VersionResource& v, size_t) { v.dataSizeClaim = 0xFFFFFFFF; }, "", kRefused},
        {"data entry of 3 bytes", [](layer::VersionResource& v, size_t) { v.dataSizeClaim = 3; },
         "", kRefused},
        {"root length 0", [](layer::VersionResource& v, size_t) { v.rootLength = 0; }, "",
         kRefused},
        {"root length 6", [](layer::VersionResource& v, size_t) { v.rootLength = 6; }, "",
         kRefused},
        {"root length 0xFFFF", [](layer::VersionResource& v, size_t) { v.rootLength = 0xFFFF; }, "",
         kRefused},
        {"string table length 0",
         [](layer::VersionResource& v, size_t) { v.stringTableLength = 0; }, "", kRefused},
        {"string table length 0xFFFF",
         [](layer::VersionResource& v, size_t) { v.stringTableLength = 0xFFFF; }, "", kRefused},
        {"Translation of 0 bytes",
         [](layer::VersionResource& v, size_t) { v.translationBytes = 0; }, "", kShortTranslation},
        {"Translation of 3 bytes",
         [](layer::VersionResource& v, size_t) { v.translationBytes = 3; }, "", kShortTranslation},
        {"strings without their zero",
         [](layer::VersionResource& v, size_t) { v.unterminatedStrings = true; }, "Korva Agent",
         ""},
    };
    for (size_t i = 0; i < sizeof(shapes) / sizeof(shapes[0]); ++i) {
        const Shape& shape = shapes[i];
        const std::string path = "C:\\hostile\\" + std::to_string(i) + ".exe";
        layer::File& file = AddFullFile(path);
        shape.apply(file.version, layer::FileBytes(file).size());
        const size_t logsBefore = layer::LogRecords().size();
        const LinkedPtr<FilePropertyRecord> record = cache.Get(path, 5);
        ASSERT_TRUE(record) << shape.what;
        EXPECT_EQ(record->description, shape.description) << shape.what;
        EXPECT_EQ(record->company, record->description.empty() ? "" : "Korva Labs") << shape.what;
        EXPECT_EQ(record->signCompany, "Korva Test Signer") << shape.what;
        const auto logs = layer::LogRecords();
        std::string logged;
        for (size_t k = logsBefore; k < logs.size(); ++k) {
            logged += logs[k].source + ":" + std::to_string(logs[k].line) + " " +
                      std::to_string(logs[k].level) + " " + logs[k].text;
        }
        EXPECT_EQ(logged, shape.record) << shape.what;
        EXPECT_TRUE(layer::BadCalls().empty()) << shape.what;
    }
}

TEST_F(FilePropertyCacheTest, DescriptionQueryErrorIsLogged) {
    layer::File& file = AddFullFile();
    file.version.queryErrors[layer::VersionStringPath(kEnglish, kUnicode, "FileDescription")] =
        ERROR_INVALID_DATA;
    EXPECT_EQ(cache.Get(kApp, 5)->company, "");
    EXPECT_EQ(OnlyLog(), "FilePropertyCache:114 2 VerQueryValueA error. err2: 13");
}

TEST_F(FilePropertyCacheTest, VersionCallFailuresTakeTheirOwnEnds) {
    AddFullFile();
    layer::FailCall("VerQueryValueA", 1, ERROR_INVALID_DATA);   // Translation, 1st add
    layer::FailCall("VerQueryValueA", 4, ERROR_ACCESS_DENIED);  // CompanyName, 2nd add
    EXPECT_EQ(cache.Get(kApp, 1)->description, "");             // translation: line 100
    const LinkedPtr<FilePropertyRecord> second = cache.Get(kApp, 2);
    EXPECT_EQ(second->description, "Korva Agent");
    EXPECT_EQ(second->company, "");  // company: silent
    const auto journal = layer::Journal();
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0], "log 2 FilePropertyCache:100 VerQueryValueA error. err1: 13");
}

// ---- Signer through the cache

TEST_F(FilePropertyCacheTest, UnreadableSignatureLeavesSignerAndDateEmpty) {
    layer::File& file = AddFullFile();
    file.signature.otherCertificates.clear();  // counter-signer not in the store
    const LinkedPtr<FilePropertyRecord> record = cache.Get(kApp, 5);
    EXPECT_EQ(record->description, "Korva Agent");
    EXPECT_EQ(record->signCompany, "");
    EXPECT_EQ(record->signDate, "");
    EXPECT_TRUE(layer::LogRecords().empty());
}

TEST_F(FilePropertyCacheTest, SignatureThatDoesNotVerifyLogsOncePerStampAndNamesNoSigner) {
    AddFullFile().signature.trust = static_cast<LONG>(0x80096010);  // TRUST_E_BAD_DIGEST
    const LinkedPtr<FilePropertyRecord> record = cache.Get(kApp, 5);
    EXPECT_EQ(record->description, "Korva Agent");
    EXPECT_EQ(record->signCompany + record->signDate, "");
    cache.Get(kApp, 5);
    EXPECT_EQ(OnlyLog(),
              "FilePropertyCache:70 2 Signature not verified, signer not reported. "
              "err: 0x80096010 path: C:\\Program Files\\Korva\\app.exe");
}

// ---- Paths are UTF-8 in the module; every file call gets the encoding it reads.

TEST_F(FilePropertyCacheTest, NonAsciiPathKeepsDescriptionCompanyAndSigner) {
    const std::string cafe = "C:\\Program Files\\Caf\xC3\xA9\\app.exe";
    layer::File& file = AddFullFile(cafe);
    file.version.SetString(kEnglish, kUnicode, "CompanyName", "Soci\xC3\xA9t\xC3\xA9 Caf\xC3\xA9");
    file.signature.signer.subject.commonName = "Caf\xC3\xA9 Signer";
    const LinkedPtr<FilePropertyRecord> record = cache.Get(cafe, 5);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->description, "Korva Agent");
    EXPECT_EQ(record->company, "Soci\xC3\xA9t\xC3\xA9 Caf\xC3\xA9");  // back in UTF-8
    EXPECT_EQ(record->signCompany, "Caf\xC3\xA9 Signer");
    EXPECT_EQ(record->signDate, "20190305080709");
    EXPECT_EQ(cache.Get(cafe, 5).get(), record.get());  // keyed by the UTF-8 path
    EXPECT_TRUE(layer::LogRecords().empty());
}

TEST_F(FilePropertyCacheTest, NonAsciiPathIsLoggedInUtf8) {
    const std::string gone = "C:\\Caf\xC3\xA9\\gone.exe";
    EXPECT_FALSE(cache.Get(gone, 5));
    EXPECT_EQ(OnlyLog(),
              "FilePropertyCache:56 2 Parameter error when add new file property cache: " + gone);
}

// ---- Size limit

std::string PathOf(int i, const std::string& prefix = "C:\\apps\\") {
    char digits[8];
    std::snprintf(digits, sizeof(digits), "%04d", i);
    return prefix + digits + ".exe";
}

class FilePropertyCacheLimitTest : public FilePropertyCacheTest {
  protected:
    // 1000 entries: 990 ASCII paths and, after them in unsigned byte order, 10 paths
    // starting with a UTF-8 letter (bytes above 0x7F).
    void FillTo1000() {
        for (int i = 0; i < 990; ++i) {
            Add(PathOf(i));
        }
        for (int i = 0; i < 10; ++i) {
            Add(PathOf(i, "\xC3\x89tude\\"));
        }
    }

    void Add(const std::string& path) {
        AddFile(path);
        ASSERT_TRUE(cache.Get(path, 7));
    }

    bool Cached(const std::string& path) {
        const int before = Reads(path);
        cache.Get(path, 7);
        return Reads(path) == before;
    }
};

TEST_F(FilePropertyCacheLimitTest, From1001EntriesTheFirst19InByteOrderGo) {
    FillTo1000();
    const LinkedPtr<FilePropertyRecord> firstRecord = cache.Get(PathOf(0), 7);
    Add("C:\\zzz\\1001.exe");  // 1001 entries: nothing evicted yet
    for (int i = 0; i < 990; ++i) {
        ASSERT_TRUE(Cached(PathOf(i))) << i;
    }
    Add("C:\\zzz\\1002.exe");               // first 19 go, then the addition: 983 entries
    EXPECT_EQ(firstRecord->modifyTime, 7);  // an evicted record lives on in its handle
    for (int i = 19; i < 990; ++i) {
        ASSERT_TRUE(Cached(PathOf(i))) << i;
    }
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(Cached(PathOf(i, "\xC3\x89tude\\"))) << i;
    }
    EXPECT_TRUE(Cached("C:\\zzz\\1001.exe"));
    EXPECT_TRUE(Cached("C:\\zzz\\1002.exe"));
    for (int i = 0; i < 19; ++i) {
        EXPECT_FALSE(Cached(PathOf(i))) << i;  // read again: 983 + 19 = 1002 entries now
    }
}

TEST_F(FilePropertyCacheLimitTest, FailedAdditionDoesNotShrink) {
    FillTo1000();
    Add("C:\\zzz\\1001.exe");
    EXPECT_FALSE(cache.Get("C:\\missing.exe", 7));
    EXPECT_TRUE(Cached(PathOf(0)));
}

// ---- Lifetime

TEST_F(FilePropertyCacheTest, CachesSurviveTheModuleObject) {
    AddFullFile();
    GetKorvaProcInterface();
    CFilePropertyCache* properties = CFilePropertyCache::GetInstance();
    CProcMd5Cache* digests = CProcMd5Cache::GetInstance();
    ASSERT_NE(properties, nullptr);
    ASSERT_NE(digests, nullptr);
    const LinkedPtr<FilePropertyRecord> record = properties->Get(kApp, 5);
    const std::string md5 = digests->Get(40, kApp, 5);
    const int reads = Reads();
    DestroyKorvaProcInterface();
    GetKorvaProcInterface();
    EXPECT_EQ(CFilePropertyCache::GetInstance(), properties);
    EXPECT_EQ(CProcMd5Cache::GetInstance(), digests);
    EXPECT_EQ(CFilePropertyCache::GetInstance()->Get(kApp, 5).get(), record.get());
    EXPECT_EQ(CProcMd5Cache::GetInstance()->Get(40, kApp, 5), md5);
    EXPECT_EQ(Reads(), reads);
    DestroyKorvaProcInterface();
    // The module never destroys them; the test does, so others start from nothing.
    CSingleton<CFilePropertyCache>::DestroyInstance();
    CSingleton<CProcMd5Cache>::DestroyInstance();
    CSingleton<CWinPpidCache>::DestroyInstance();
}

}  // namespace
