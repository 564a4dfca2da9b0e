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

    static CVersionResourcePlacement::Verdict Check(const std::string& bytes, DWORD* error,
                                                    uint64_t* offset = nullptr) {
        layer::machine().files[kImage].content = bytes;
        const HANDLE file = CreateFileW(L"C:\\Apps\\image.exe", GENERIC_READ, FILE_SHARE_READ,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        uint64_t at = 0;
        uint32_t size = 0;
        const CVersionResourcePlacement::Verdict verdict =
            CVersionResourcePlacement(file).Find(offset != nullptr ? offset : &at, &size, error);
        CloseHandle(file);
        return verdict;
    }
};

// Every place the system follows on the way to the version data must exist in the file
// and in its image layout; a file that is no image, or has no version, is no finding.
TEST_F(VersionResourcePlacementTest, EachStepToTheDataMustFitTheFileAndTheImage) {
    using Verdict = CVersionResourcePlacement::Verdict;
    const std::string good = GoodImage();
    const auto patch = [](std::string bytes, size_t at, uint32_t value) {
        std::memcpy(&bytes[at], &value, sizeof(value));
        return bytes;
    };
    const auto patched = [&](size_t at, uint32_t value) { return patch(good, at, value); };
    const std::string noResources = patched(0x58 + 128, 0);
    std::string overlapping = patched(0x46, 2);
    overlapping.replace(0x170, 40, good.substr(0x148, 40));
    // The data entry sits at 0x248 (RVA, size); the block starts at 0x258.
    const uint32_t blockSize = static_cast<uint32_t>(good.size() - 0x258 - 7);  // 7: content
    const struct {
        const char* what;
        std::string bytes;
        Verdict verdict;
    } cases[] = {
        {"a good image", good, CVersionResourcePlacement::kInside},
        // The loader maps raw data from the pointer rounded down to 512: the same bytes.
        {"a raw pointer off the 512 grid", patched(0x148 + 20, 0x210),
         CVersionResourcePlacement::kInside},
        // Two sections claim the resource's address: which bytes are mapped is not ours
        // to guess.
        {"a second section over the first", overlapping, CVersionResourcePlacement::kOutside},
        {"past the mapped section, in its raw data", patched(0x24C, blockSize + 1),
         CVersionResourcePlacement::kOutside},
        {"past the image's size", patched(0x58 + 56, 0x1000), CVersionResourcePlacement::kOutside},
        {"a language entry outside the image", patched(0x244, 0x7FFFFFF0),
         CVersionResourcePlacement::kOutside},
        {"a directory outside the section", patched(0x214, 0x80000F00u),
         CVersionResourcePlacement::kOutside},
        {"the file cut inside the block", good.substr(0, 0x260),
         CVersionResourcePlacement::kOutside},
        {"no sections", patched(0x46, 0), CVersionResourcePlacement::kOutside},
        {"no resource directory", noResources, CVersionResourcePlacement::kNoVersion},
        // Damaged headers around no resources at all are as silent as no image.
        {"no resource directory, no sections", patch(noResources, 0x46, 0),
         CVersionResourcePlacement::kNoVersion},
        {"an unknown optional header", patched(0x58, 0x999), CVersionResourcePlacement::kNoVersion},
        {"two data directories", patched(0x58 + 108, 2), CVersionResourcePlacement::kNoVersion},
        {"no RT_VERSION", patched(0x210, 3), CVersionResourcePlacement::kNoVersion},
        {"no image at all", "MZ", CVersionResourcePlacement::kNoVersion},
    };
    for (const auto& c : cases) {
        DWORD error = 0;
        uint64_t offset = 0;
        EXPECT_EQ(Check(c.bytes, &error, &offset), c.verdict) << c.what;
        if (c.verdict == CVersionResourcePlacement::kInside) {
            EXPECT_EQ(offset, 0x258u) << c.what;
        }
        EXPECT_EQ(error, c.verdict == CVersionResourcePlacement::kOutside ? ERROR_INVALID_DATA : 0)
            << c.what;
    }
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
        Check(bytes, &error);
        ASSERT_LE(layer::CallCount("ReadFile") - readsBefore, 40) << "round " << round;
    }
}

}  // namespace
