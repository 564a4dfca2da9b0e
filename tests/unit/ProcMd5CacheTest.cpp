#include <string>

#include "fileprops/ProcMd5Cache.h"
#include "support/LayerTest.h"

namespace {

const char kApp[] = "C:\\Program Files\\Korva\\app.exe";
const char kAbcMd5[] = "900150983cd24fb0d6963f7d28e17f72";  // MD5 of "abc"

class ProcMd5CacheTest : public LayerTest {
  protected:
    // With a change stamp, as on a volume with an active change journal.
    static layer::File& AddFile(const std::string& path, const std::string& content = "abc") {
        layer::File& file = layer::machine().files[path];
        file.content = content;
        file.changeStamp = path + " #1";
        return file;
    }

    static int Reads(const std::string& path) { return layer::machine().files[path].contentReads; }

    // Fills the cache with pids 1..count, each on a file of its own.
    void Fill(int count) {
        for (int pid = 1; pid <= count; ++pid) {
            AddFile(PathOf(pid));
            ASSERT_EQ(cache.Get(pid, PathOf(pid), 100), kAbcMd5);
        }
    }

    static std::string PathOf(int pid) { return "C:\\p\\" + std::to_string(pid) + ".exe"; }

    // Whether pid is still cached: a hit reads nothing.
    bool Cached(int pid) {
        const int before = Reads(PathOf(pid));
        cache.Get(pid, PathOf(pid), 100);
        return Reads(PathOf(pid)) == before;
    }

    CProcMd5Cache cache;
};

TEST_F(ProcMd5CacheTest, DigestIsTheHexOfTheFileMd5) {
    AddFile(kApp);
    EXPECT_EQ(cache.Get(12, kApp, 1700000000), kAbcMd5);
    EXPECT_TRUE(layer::LogRecords().empty());
}

TEST_F(ProcMd5CacheTest, HitReadsNothingEvenWhenTheFileIsGone) {
    AddFile(kApp);
    cache.Get(12, kApp, 5);
    ASSERT_EQ(Reads(kApp), 1);
    layer::machine().files[kApp].content = "changed";
    EXPECT_EQ(cache.Get(12, kApp, 5), kAbcMd5);
    EXPECT_EQ(Reads(kApp), 1);
    layer::machine().files.erase(kApp);
    EXPECT_EQ(cache.Get(12, kApp, 5), kAbcMd5);
    EXPECT_TRUE(layer::LogRecords().empty());
}

TEST_F(ProcMd5CacheTest, RefusedArgumentsGiveEmptyAndLeaveTheCacheAlone) {
    AddFile(kApp);
    cache.Get(12, kApp, 5);
    EXPECT_EQ(cache.Get(-1, kApp, 5), "");
    EXPECT_EQ(cache.Get(12, "", 5), "");
    EXPECT_EQ(cache.Get(12, kApp, 0), "");
    EXPECT_EQ(Reads(kApp), 1);
    EXPECT_EQ(cache.Get(12, kApp, 5), kAbcMd5);
    EXPECT_EQ(Reads(kApp), 1);  // the entry survived the refused calls
    EXPECT_TRUE(layer::LogRecords().empty());
}

TEST_F(ProcMd5CacheTest, AnotherPathOrTimeForThePidComputesAgain) {
    AddFile(kApp);
    AddFile("C:\\other.exe", "other");
    cache.Get(12, kApp, 5);
    EXPECT_EQ(cache.Get(12, kApp, 6), kAbcMd5);
    EXPECT_EQ(Reads(kApp), 2);
    EXPECT_EQ(cache.Get(12, "C:\\other.exe", 6), "795f3202b17cb6bc3d4b771d8c6c9eaf");
    EXPECT_EQ(cache.Get(12, "C:\\other.exe", 6), "795f3202b17cb6bc3d4b771d8c6c9eaf");
    EXPECT_EQ(Reads("C:\\other.exe"), 1);
}

TEST_F(ProcMd5CacheTest, PathsCompareCaseSensitively) {
    AddFile(kApp);
    AddFile("C:\\PROGRAM FILES\\KORVA\\APP.EXE");
    cache.Get(12, kApp, 5);
    cache.Get(12, "C:\\PROGRAM FILES\\KORVA\\APP.EXE", 5);
    EXPECT_EQ(Reads("C:\\PROGRAM FILES\\KORVA\\APP.EXE"), 1);
}

TEST_F(ProcMd5CacheTest, ProcessesOfOneExecutableShareOneHashWithinAPass) {
    AddFile(kApp);
    cache.Get(12, kApp, 5);
    cache.Get(13, kApp, 5);
    cache.Get(12, kApp, 5);
    EXPECT_EQ(Reads(kApp), 1);
    cache.Prune(ryn::ProcessIdMap());  // the pass ends
    EXPECT_EQ(cache.Get(14, kApp, 5), kAbcMd5);
    EXPECT_EQ(Reads(kApp), 2);  // a new process of a later pass is hashed
    EXPECT_EQ(cache.Get(14, kApp, 6), kAbcMd5);
    EXPECT_EQ(Reads(kApp), 3);  // so is another time within the pass
}

// In a later pass a digest stands only while the file keeps its change stamp; a file
// without one (no change journal) is hashed again whatever its times say.
TEST_F(ProcMd5CacheTest, LaterPassesServeADigestOnlyForTheSameChangeStamp) {
    AddFile(kApp);
    AddFile("C:\\plain.exe").changeStamp.clear();
    cache.Get(12, kApp, 5);
    cache.Get(13, "C:\\plain.exe", 5);
    cache.Prune(ryn::ProcessIdMap());
    EXPECT_EQ(cache.Get(12, kApp, 5), kAbcMd5);
    EXPECT_EQ(Reads(kApp), 1);
    layer::File& app = layer::machine().files[kApp];
    app.content = "abd";  // rewritten with its times put back
    app.changeStamp = "#2";
    layer::machine().files["C:\\plain.exe"].content = "abd";
    cache.Prune(ryn::ProcessIdMap());
    EXPECT_EQ(cache.Get(12, kApp, 5), "4911e516e5aa21d327512e0c8b197616");
    EXPECT_EQ(cache.Get(13, "C:\\plain.exe", 5), "4911e516e5aa21d327512e0c8b197616");
}

TEST_F(ProcMd5CacheTest, MissingFileLogsEachTimeAndDropsTheStaleEntry) {
    AddFile(kApp);
    cache.Get(12, kApp, 5);
    EXPECT_EQ(cache.Get(12, "C:\\gone.exe", 5), "");
    EXPECT_EQ(cache.Get(12, "C:\\gone.exe", 5), "");
    const auto logs = layer::LogRecords();
    ASSERT_EQ(logs.size(), 2u);
    for (const layer::LogRecord& record : logs) {
        EXPECT_EQ(record.level, 2);
        EXPECT_EQ(record.source, "ProcMd5Cache");
        EXPECT_EQ(record.line, 63);
        EXPECT_EQ(record.text, "file not found : C:\\gone.exe");
    }
    cache.Prune(ryn::ProcessIdMap());  // a later pass
    EXPECT_EQ(cache.Get(12, kApp, 5), kAbcMd5);
    EXPECT_EQ(Reads(kApp), 2);  // the old entry was removed, not kept
}

TEST_F(ProcMd5CacheTest, DirectoryIsNotAFile) {
    layer::machine().files["C:\\dir"].isDirectory = true;
    EXPECT_EQ(cache.Get(12, "C:\\dir", 5), "");
    ASSERT_EQ(layer::LogRecords().size(), 1u);
    EXPECT_EQ(layer::LogRecords()[0].text, "file not found : C:\\dir");
}

TEST_F(ProcMd5CacheTest, UnreadableFileIsCachedWithWhatTheDigestGave) {
    AddFile(kApp).openError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(cache.Get(12, kApp, 5), "");
    layer::machine().files[kApp].openError = 0;
    EXPECT_EQ(cache.Get(12, kApp, 5), "");  // served from the cache until path or time change
    EXPECT_EQ(cache.Get(12, kApp, 6), kAbcMd5);
    EXPECT_TRUE(layer::LogRecords().empty());
}

TEST_F(ProcMd5CacheTest, NonAsciiPathIsReadAsUtf8AndLoggedAsIs) {
    const std::string cafe = "C:\\Program Files\\Caf\xC3\xA9\\app.exe";
    AddFile(cafe);
    EXPECT_EQ(cache.Get(12, cafe, 5), kAbcMd5);
    const std::string gone = "C:\\Caf\xC3\xA9\\gone.exe";
    EXPECT_EQ(cache.Get(13, gone, 5), "");
    ASSERT_EQ(layer::LogRecords().size(), 1u);
    EXPECT_EQ(layer::LogRecords()[0].text, "file not found : " + gone);
}

TEST_F(ProcMd5CacheTest, PruneBelow400KeepsEvenExitedProcesses) {
    Fill(399);
    cache.Prune(ryn::ProcessIdMap());
    for (int pid = 1; pid <= 399; ++pid) {
        ASSERT_TRUE(Cached(pid)) << pid;
    }
}

TEST_F(ProcMd5CacheTest, PruneAt400DropsTheProcessesNotRunning) {
    Fill(400);
    ryn::ProcessIdMap live;
    live[1] = "a.exe";
    live[250] = "b.exe";
    live[400] = "c.exe";
    live[9999] = "not cached.exe";
    cache.Prune(live);
    EXPECT_TRUE(Cached(1));
    EXPECT_TRUE(Cached(250));
    EXPECT_TRUE(Cached(400));
    EXPECT_FALSE(Cached(2));
    EXPECT_FALSE(Cached(399));
}

// Prune walks the cache and the process map side by side: live pids below, between
// and above the cached ones must neither keep a dead entry nor drop a live one.
TEST_F(ProcMd5CacheTest, PruneKeepsExactlyTheLiveEntriesWhateverTheInterleaving) {
    Fill(450);
    ryn::ProcessIdMap live;
    live[-5] = "";
    live[0] = "";
    for (int pid = 3; pid <= 460; pid += 7) {
        live[pid] = "";  // cached pids and, past 450, uncached ones
    }
    live[4294967295LL] = "";
    cache.Prune(live);
    for (int pid = 1; pid <= 450; ++pid) {
        ASSERT_EQ(Cached(pid), live.count(pid) == 1) << pid;
    }
}

TEST_F(ProcMd5CacheTest, PruneAt400WithNoProcessesEmptiesTheCache) {
    Fill(400);
    cache.Prune(ryn::ProcessIdMap());
    for (int pid = 1; pid <= 400; ++pid) {
        ASSERT_FALSE(Cached(pid)) << pid;
    }
}

}  // namespace
