#include <cstring>
#include <random>
#include <string>

#include "fileprops/VersionResourcePlacement.h"
#include "support/LayerTest.h"

namespace {

const char kImage[] = "C:\\Apps\\image.exe";

class VersionResourcePlacementTest : public LayerTest {
  protected:
    // The bytes of a file with a real version resource (headers, directory, block).
    static std::string GoodImage() {
        layer::File file;
        file.content = "payload";
        file.version.SetString(0x0409, 0x04b0, "FileDescription", "Korva Agent");
        return layer::FileBytes(file);
    }

    static bool Inside(const std::string& bytes, DWORD* error) {
        layer::machine().files[kImage].content = bytes;
        const HANDLE file = CreateFileW(L"C:\\Apps\\image.exe", GENERIC_READ, FILE_SHARE_READ,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        const bool inside = CVersionResourcePlacement(file).AllInsideFile(error);
        CloseHandle(file);
        return inside;
    }
};

TEST_F(VersionResourcePlacementTest, TheDataEntryMustEndInsideItsSectionAndTheFile) {
    const std::string good = GoodImage();
    DWORD error = 0;
    EXPECT_TRUE(Inside(good, &error));
    EXPECT_EQ(error, 0u);
    // The data entry's Size field sits at 0x200 + 0x4C; the block starts at 0x258.
    std::string lying = good;
    const uint32_t toTheEnd = static_cast<uint32_t>(good.size() - 0x258);
    std::memcpy(&lying[0x24C], &toTheEnd, sizeof(toTheEnd));
    EXPECT_FALSE(Inside(lying, &error));  // past the section's raw data, though in the file
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_FALSE(Inside(good.substr(0, 0x260), &error));  // the file cut inside the block
    EXPECT_FALSE(Inside("MZ", &error));
}

// Any bytes at all: the reader stays inside what it read (the sanitizers watch), reads a
// bounded number of times, and ends.
TEST_F(VersionResourcePlacementTest, ExplorerOfDamagedHeadersAndDirectories) {
    const std::string good = GoodImage();
    std::mt19937 random(20261208);
    for (int round = 0; round < 3000; ++round) {
        std::string bytes = good;
        const int flips = 1 + static_cast<int>(random() % 8);
        for (int i = 0; i < flips; ++i) {
            // Mostly the headers and the resource directory, where the claims are.
            const size_t at = random() % 4 != 0 ? random() % 0x260 : random() % bytes.size();
            bytes[at] = static_cast<char>(random() % 3 == 0 ? 0xFF : random());
        }
        const int readsBefore = layer::CallCount("ReadFile");
        DWORD error = 0;
        Inside(bytes, &error);
        ASSERT_LE(layer::CallCount("ReadFile") - readsBefore, 40) << "round " << round;
    }
}

}  // namespace
