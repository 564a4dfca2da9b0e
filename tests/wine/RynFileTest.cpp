// The real file helpers and digest, against files made outside the program.

#include <windows.h>

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "WineTestSupport.h"
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
