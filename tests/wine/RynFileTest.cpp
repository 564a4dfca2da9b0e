// The real file helpers and digest, against files made outside the program.

#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "ImportPatch.h"
#include "WineTestSupport.h"
#include "agent/rynUtil/DigestMemory.h"
#include "host/RynUtil.h"

namespace {

struct Sample {
    std::string path;  // UTF-8, absolute
    std::string md5;   // as md5sum printed it
};

std::string SampleFolder() {
    wchar_t full[MAX_PATH * 4];
    GetFullPathNameW(L"md5-samples", MAX_PATH * 4, full, nullptr);
    return ryn::CStringUtil::ws2s_utf8(full);
}

// md5sum's lines: "<32 hex>  <name>". The names are UTF-8 like the Linux file names.
std::vector<Sample> ReadSamples() {
    const std::string folder = SampleFolder();
    std::istringstream lines(winetest::ReadWholeFile(folder + "\\md5sums.txt"));
    std::vector<Sample> samples;
    for (std::string line; std::getline(lines, line);) {
        if (line.size() > 34) {
            samples.push_back({folder + "\\" + line.substr(34), line.substr(0, 32)});
        }
    }
    return samples;
}

std::string SelfPathUtf8() {
    wchar_t path[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    return ryn::CStringUtil::ws2s_utf8(std::wstring(path, length));
}

TEST(FileDigestTest, EverySampleMatchesMd5sum) {
    const std::vector<Sample> samples = ReadSamples();
    ASSERT_EQ(samples.size(), 5u) << "md5-samples missing: the md5_samples fixture makes them";
    for (const Sample& sample : samples) {
        EXPECT_EQ(ryn::CAlgorithmUtil::toHex(ryn::CAlgorithmUtil::GetFileMD5(sample.path)),
                  sample.md5)
            << sample.path;
    }
}

TEST(FileDigestTest, UnreadablePathsGiveEmptyDigest) {
    EXPECT_EQ(ryn::CAlgorithmUtil::GetFileMD5(SampleFolder() + "\\no-such.bin"), "");
    EXPECT_EQ(ryn::CAlgorithmUtil::GetFileMD5(SampleFolder()), "");
    EXPECT_EQ(ryn::CAlgorithmUtil::GetFileMD5(""), "");
}

TEST(FileDigestTest, RunningExecutableCanBeDigested) {
    EXPECT_EQ(ryn::CAlgorithmUtil::GetFileMD5(SelfPathUtf8()).size(), 16u);
}

TEST(FileDigestTest, HexIsLowerCaseTwoDigitsPerByte) {
    EXPECT_EQ(ryn::CAlgorithmUtil::toHex(std::string("\x00\x0f\xab\xff", 4)), "000fabff");
    EXPECT_EQ(ryn::CAlgorithmUtil::toHex(""), "");
}

// ---- The digest memory: what GetFileMD5 reads is counted at rynUtil.dll's own
// import of ReadFile (its only reader), per thread; its WOW64 queries likewise.

thread_local int t_reads = 0;
int g_wow64Queries = 0;  // rynUtil.dll asks from any thread; read once all have joined

const auto g_readFile = reinterpret_cast<decltype(&ReadFile)>(
    reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "ReadFile")));
const auto g_isWow64 = reinterpret_cast<decltype(&IsWow64Process)>(
    reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process")));

BOOL WINAPI CountingReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read,
                             LPOVERLAPPED overlapped) {
    ++t_reads;
    return g_readFile(file, buffer, size, read, overlapped);
}

BOOL WINAPI CountingIsWow64(HANDLE process, PBOOL wow64) {
    InterlockedIncrement(reinterpret_cast<volatile LONG*>(&g_wow64Queries));
    return g_isWow64(process, wow64);
}

class ReadCounter {
  public:
    ReadCounter()
        : m_reads(GetModuleHandleW(L"rynUtil.dll"), reinterpret_cast<const void*>(g_readFile),
                  reinterpret_cast<const void*>(&CountingReadFile)),
          m_wow64(GetModuleHandleW(L"rynUtil.dll"), reinterpret_cast<const void*>(g_isWow64),
                  reinterpret_cast<const void*>(&CountingIsWow64)) {}
    bool patched() const { return m_reads.slots() > 0 && m_wow64.slots() > 0; }

  private:
    acceptance::ImportPatch m_reads;
    acceptance::ImportPatch m_wow64;
};

// The digest, and whether GetFileMD5 read the file's content to make it.
std::string Digest(const std::string& path, bool* read) {
    const int before = t_reads;
    const std::string digest = ryn::CAlgorithmUtil::GetFileMD5(path);
    *read = t_reads != before;
    return digest;
}

std::wstring WidePath(const std::string& path) { return ryn::CStringUtil::utf8_2ws(path); }

bool WriteContent(const std::string& path, const std::string& content) {
    ryn::UniqueHandle file(CreateFileW(WidePath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                       nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    return file.valid() &&
           WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written,
                     nullptr) &&
           written == content.size();
}

bool ReadTimes(const std::string& path, FILETIME* created, FILETIME* written) {
    ryn::UniqueHandle file(CreateFileW(WidePath(path).c_str(), FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, 0, nullptr));
    return file.valid() && GetFileTime(file.get(), created, nullptr, written);
}

// Puts the last-write time (and, where the system lets it, the creation time) back.
bool WriteTimes(const std::string& path, const FILETIME& created, const FILETIME& written) {
    ryn::UniqueHandle file(CreateFileW(WidePath(path).c_str(), FILE_WRITE_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file.valid() || !SetFileTime(file.get(), nullptr, nullptr, &written)) {
        return false;
    }
    SetFileTime(file.get(), &created, nullptr, nullptr);
    return true;
}

FILETIME SecondLater(FILETIME time) {
    ULARGE_INTEGER value = {{time.dwLowDateTime, time.dwHighDateTime}};
    value.QuadPart += 10000000ULL;
    return FILETIME{value.LowPart, value.HighPart};
}

std::string RandomContent(std::mt19937& random, size_t size) {
    std::string content(size, '\0');
    for (char& c : content) {
        c = static_cast<char>(random() & 0xFF);
    }
    return content;
}

// One thread's walk over files of its own: every step hashes, touches, regrows with
// the times put back, or replaces a file under its name with the same size and times.
// Property: a hash reads the content exactly when the file changed since this walk
// last hashed it or has no change stamp, and gives the old digest exactly when the
// content is the old one.
// Failures come back as texts (GoogleTest asserts on the main thread only here).
std::vector<std::string> ExploreDigestMemory(const std::string& folder, unsigned seed, int steps) {
    struct Model {
        std::string path;
        std::string digest;  // of the last hash; "" before the first
        bool known = false;  // the memory holds the file as it is now
        bool sameContent = false;
    };
    std::mt19937 random(seed);
    std::vector<Model> files(3);
    std::vector<std::string> failures;
    int asides = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        files[i].path = folder + "\\file" + std::to_string(i) + ".bin";
        if (!WriteContent(files[i].path, RandomContent(random, 100 + 10 * i))) {
            return {"cannot write " + files[i].path};
        }
    }
    for (int step = 0; step < steps && failures.empty(); ++step) {
        Model& file = files[random() % files.size()];
        const int action = static_cast<int>(random() % 5);
        const std::string where = "seed " + std::to_string(seed) + " step " + std::to_string(step) +
                                  " action " + std::to_string(action) + " " + file.path + ": ";
        FILETIME created = {};
        FILETIME written = {};
        if (action >= 2 && !ReadTimes(file.path, &created, &written)) {
            failures.push_back(where + "cannot read times");
            break;
        }
        if (action <= 1) {
            // Another spelling of the same file is the same file.
            const size_t slash = file.path.rfind('\\');
            const std::string path =
                action == 0 ? file.path
                            : file.path.substr(0, slash) + "\\." + file.path.substr(slash);
            bool read = false;
            const std::string digest = Digest(path, &read);
            if (digest.size() != 16 || read == file.known ||
                (!file.digest.empty() && (digest == file.digest) != file.sameContent)) {
                failures.push_back(where + "read " + std::to_string(read) + ", known " +
                                   std::to_string(file.known) + ", same digest " +
                                   std::to_string(digest == file.digest));
            }
            file.digest = digest;
            // Remembered only by a change stamp, which a file has only where the volume
            // keeps a change journal.
            file.known = !ryn::CFileUtil::GetChangeStamp(file.path).empty();
            file.sameContent = true;
        } else if (action == 2) {  // touched: the same bytes, a second later
            if (!WriteTimes(file.path, created, SecondLater(written))) {
                failures.push_back(where + "cannot touch");
            }
            file.known = false;
        } else if (action == 3) {  // rewritten, larger, with its times put back
            const size_t size = static_cast<size_t>(ryn::CFileUtil::GetFileSize(file.path));
            const std::string content = RandomContent(random, size + 1 + random() % 50);
            if (!WriteContent(file.path, content) || !WriteTimes(file.path, created, written)) {
                failures.push_back(where + "cannot rewrite");
            }
            file.known = false;
            file.sameContent = false;
        } else {  // replaced: the old file lives on aside, the new one has its size and times
            const std::string aside = file.path + ".old" + std::to_string(asides++);
            const std::string content =
                RandomContent(random, static_cast<size_t>(ryn::CFileUtil::GetFileSize(file.path)));
            if (!MoveFileExW(WidePath(file.path).c_str(), WidePath(aside).c_str(),
                             MOVEFILE_REPLACE_EXISTING) ||
                !WriteContent(file.path, content) || !WriteTimes(file.path, created, written)) {
                failures.push_back(where + "cannot replace");
            }
            file.known = false;
            file.sameContent = false;
        }
    }
    return failures;
}

TEST(FileDigestTest, UnchangedFilesAreReadOnceChangedOrReplacedOnesAgain) {
    const ReadCounter counter;
    ASSERT_TRUE(counter.patched());
    const std::string folder = winetest::ScratchFolder("digest memory");
    constexpr unsigned kThreads = 4;
    std::vector<std::vector<std::string>> failures(kThreads);
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < kThreads; ++t) {
        const std::string own = folder + "\\t" + std::to_string(t);
        CreateDirectoryW(WidePath(own).c_str(), nullptr);
        threads.emplace_back(
            [&failures, own, t] { failures[t] = ExploreDigestMemory(own, 7100 + t, 150); });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (const std::vector<std::string>& failed : failures) {
        for (const std::string& failure : failed) {
            ADD_FAILURE() << failure;
        }
    }
    // The process's bitness was asked before, or by the first of these hashes at most.
    EXPECT_LE(g_wow64Queries, 1);
}

// Wine 8 keeps no change journal: every file's stamp is "", so no digest is reused.
TEST(FileDigestTest, NoFileHasAChangeStampUnderWine) {
    if (!winetest::RunningUnderWine()) {
        GTEST_SKIP() << "Windows volumes may keep a change journal";
    }
    EXPECT_EQ("", ryn::CFileUtil::GetChangeStamp(SelfPathUtf8()));
}

// The memory keeps the most recently used stamps, up to its bound.
TEST(FileDigestTest, MemoryForgetsTheLeastRecentlyUsedFileBeyondItsBound) {
    ryn::DigestMemory& memory = ryn::DigestMemory::Instance();
    constexpr size_t kFiles = ryn::DigestMemory::kCapacity;
    const auto stamp = [](size_t i) { return "stamp " + std::to_string(i); };
    const std::string digest(ryn::DigestMemory::kDigestBytes, 'd');
    std::string found;
    for (size_t i = 0; i < kFiles; ++i) {  // fills the memory with these alone
        memory.Remember(stamp(i), digest);
    }
    EXPECT_TRUE(memory.Find(stamp(0), &found));  // the oldest, used again
    memory.Remember(stamp(kFiles), digest);      // one more: the least recently used goes
    EXPECT_TRUE(memory.Find(stamp(0), &found));
    EXPECT_TRUE(memory.Find(stamp(kFiles), &found));
    EXPECT_EQ(digest, found);
    EXPECT_FALSE(memory.Find(stamp(1), &found)) << "kept beyond the bound";
    memory.Remember("", digest);
    EXPECT_FALSE(memory.Find("", &found));  // no stamp, no memory
}

TEST(FileInfoTest, SizeAndKindFollowTheDirectoryEntry) {
    const std::string folder = SampleFolder();
    EXPECT_EQ(ryn::CFileUtil::GetFileSize(folder + "\\large.bin"), 3145733u);
    EXPECT_EQ(ryn::CFileUtil::GetFileSize(folder + "\\naïve-проба.bin"), 70001u);
    EXPECT_EQ(ryn::CFileUtil::GetFileSize(folder), 0u);
    EXPECT_EQ(ryn::CFileUtil::GetFileSize(folder + "\\no-such.bin"), 0u);
    EXPECT_TRUE(ryn::CFileInfo(folder + "\\naïve-проба.bin").isFile());
    EXPECT_FALSE(ryn::CFileInfo(folder).isFile());
    EXPECT_FALSE(ryn::CFileInfo(folder + "\\no-such.bin").isFile());
}

TEST(FileComTest, RunningExecutableOpensAndItsTimesRead) {
    ryn::CFileCom file(SelfPathUtf8());
    ASSERT_TRUE(file.open(ryn::FILECOM_OPEN_READ));
    FILETIME created = {};
    FILETIME written = {};
    EXPECT_TRUE(GetFileTime(file.nativeHandle(), &created, nullptr, &written));
    EXPECT_NE(written.dwHighDateTime, 0u);
    file.close();
    EXPECT_EQ(file.nativeHandle(), nullptr);
}

TEST(FileComTest, FileHeldForWritingByAnotherOpenerStillOpens) {
    const std::string path = winetest::ScratchFolder("filecom") + "\\busy.txt";
    ryn::UniqueHandle writer(CreateFileW(ryn::CStringUtil::utf8_2ws(path).c_str(), GENERIC_WRITE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(writer.valid());
    ryn::CFileCom file(path);
    EXPECT_TRUE(file.open(ryn::FILECOM_OPEN_READ));
    EXPECT_NE(file.nativeHandle(), nullptr);
}

TEST(FileComTest, MissingFileOrUnknownFlagLeavesNoHandle) {
    ryn::CFileCom missing(SampleFolder() + "\\no-such.bin");
    EXPECT_FALSE(missing.open(ryn::FILECOM_OPEN_READ));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(missing.nativeHandle(), nullptr);

    ryn::CFileCom self(SelfPathUtf8());
    EXPECT_FALSE(self.open(static_cast<ryn::FileComOpenFlag>(2)));
    EXPECT_EQ(self.nativeHandle(), nullptr);
}

}  // namespace
