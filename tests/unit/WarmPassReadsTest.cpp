// What a pass reads of the executables: their bytes are read on the first pass
// (digest, signature, version resource) and not again while the file keeps its change
// stamp; a file without one is read again in every pass.

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <map>
#include <string>

#include "host/RynUtil.h"
#include "support/ModuleTest.h"
#include "support/ReportCheck.h"

namespace {

const char kAgent[] = "C:\\Program Files\\Korva\\agent.exe";
const char kEditor[] = "C:\\Windows\\System32\\notepad.exe";
const char kPlain[] = "C:\\Tools\\plain.exe";

class WarmPassReadsTest : public ModuleTest {
  protected:
    void SetUp() override {
        ModuleTest::SetUp();
        AddProcess(36, kAgent);
        AddProcess(508, kEditor);
        AddProcess(1200, kEditor);  // a second process of the same executable
        AddProcess(1300, kPlain);   // neither version resource nor signature
        for (const char* path : {kAgent, kEditor}) {
            layer::File& file = *layer::machine().FindFile(path);
            file.version.SetString(0x0409, 0x04b0, "FileDescription", "Described");
            file.version.SetString(0x0409, 0x04b0, "CompanyName", "Korva Labs");
            file.signature = layer::MakeSignature({"", "Korva Signing", "", ""}, "Test CA");
        }
        for (const char* path : {kAgent, kEditor, kPlain}) {
            layer::machine().FindFile(path)->changeStamp = std::string(path) + " #1";
        }
    }

    // pid -> "file_md5 description app_sign" of every process record.
    static std::map<int64_t, std::string> FileMembers(const std::string& report) {
        rapidjson::Document document;
        document.Parse(report.c_str());
        std::map<int64_t, std::string> members;
        for (const auto& record : document["process"].GetArray()) {
            members[record["pid"].GetInt64()] = std::string(record["file_md5"].GetString()) + " " +
                                                record["description"].GetString() + " " +
                                                record["app_sign"].GetString();
        }
        return members;
    }

    static std::map<std::string, int> Reads() {
        std::map<std::string, int> reads;
        for (const auto& entry : layer::machine().files) {
            reads[entry.first] = entry.second.contentReads;
        }
        return reads;
    }
};

TEST_F(WarmPassReadsTest, SecondPassOverUnchangedFilesReadsNoContent) {
    CKorvaProcInterface* module = GetKorvaProcInterface();
    ASSERT_TRUE(RunPass(module, 1));
    const std::map<std::string, int> afterFirst = Reads();
    // Per file, however many processes run it: one digest, one signature read and one
    // version read (twelve reads that check the resource's place in the file, then its
    // size and its data). A file too short to be an image is not asked for a version.
    EXPECT_EQ(afterFirst.at(kAgent), 1 + 1 + 12 + 2);
    EXPECT_EQ(afterFirst.at(kEditor), afterFirst.at(kAgent));
    EXPECT_EQ(afterFirst.at(kPlain), 1 + 1);

    ASSERT_TRUE(RunPass(module, 2));
    EXPECT_EQ(Reads(), afterFirst);
    // ...and still reports what the first pass read.
    const auto reports = SentReports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(FileMembers(reports[1]), FileMembers(reports[0]));
    // The digest of the agent's own bytes, not another file's.
    const std::string bytes = layer::FileBytes(*layer::machine().FindFile(kAgent));
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr);
    EXPECT_EQ(FileMembers(reports[1]).at(36),
              ryn::CAlgorithmUtil::toHex(std::string(reinterpret_cast<char*>(digest), length)) +
                  " Described SignCompany: Korva Signing");
}

TEST_F(WarmPassReadsTest, OnlyTheRewrittenFileIsReadAgain) {
    CKorvaProcInterface* module = GetKorvaProcInterface();
    ASSERT_TRUE(RunPass(module, 1));
    const std::map<std::string, int> afterFirst = Reads();
    layer::machine().FindFile(kEditor)->lastWriteTime += 10000000ULL;  // one second later

    ASSERT_TRUE(RunPass(module, 2));
    const std::map<std::string, int> afterSecond = Reads();
    EXPECT_EQ(afterSecond.at(kEditor), 2 * afterFirst.at(kEditor));  // all of it again
    EXPECT_EQ(afterSecond.at(kAgent), afterFirst.at(kAgent));
    EXPECT_EQ(afterSecond.at(kPlain), afterFirst.at(kPlain));
}

// The digest is held per process id: a new process of a known executable is hashed,
// its properties are not read again.
TEST_F(WarmPassReadsTest, NewProcessOfAKnownExecutableIsOnlyHashed) {
    CKorvaProcInterface* module = GetKorvaProcInterface();
    ASSERT_TRUE(RunPass(module, 1));
    const std::map<std::string, int> afterFirst = Reads();
    AddProcess(2000, kAgent);

    ASSERT_TRUE(RunPass(module, 2));
    const std::map<std::string, int> afterSecond = Reads();
    EXPECT_EQ(afterSecond.at(kAgent), afterFirst.at(kAgent) + 1);
    EXPECT_EQ(afterSecond.at(kEditor), afterFirst.at(kEditor));
}

// A file rewritten (one byte, same size) or replaced, with its times put back, is read
// again for the process started from it after: with a new change stamp, and without
// any stamp at all.
TEST_F(WarmPassReadsTest, RewriteOrReplacementWithTimesPutBackIsReadAgain) {
    for (const bool stamped : {true, false}) {
        SCOPED_TRACE(stamped ? "stamped" : "no stamp");
        layer::File& agent = *layer::machine().FindFile(kAgent);
        layer::File& editor = *layer::machine().FindFile(kEditor);
        CKorvaProcInterface* module = GetKorvaProcInterface();
        const int pass = stamped ? 1 : 3;
        agent.changeStamp = stamped ? "agent #1" : "";
        editor.changeStamp = stamped ? "editor #1" : "";
        ASSERT_TRUE(RunPass(module, pass));
        agent.content.back() ^= 1;
        const std::string described = stamped ? "Replaced" : "Again";
        editor.version.SetString(0x0409, 0x04b0, "FileDescription", described);
        editor.signature = layer::Signature();
        agent.changeStamp = stamped ? "agent #2" : "";
        editor.changeStamp = stamped ? "editor #2" : "";
        AddProcess(stamped ? 2036 : 3036, kAgent);  // started after the rewrite
        ASSERT_TRUE(RunPass(module, pass + 1));
        const auto reports = SentReports();
        const auto before = FileMembers(reports[reports.size() - 2]);
        const auto after = FileMembers(reports.back());
        EXPECT_NE(after.at(stamped ? 2036 : 3036).substr(0, 32), before.at(36).substr(0, 32));
        EXPECT_EQ(after.at(stamped ? 2036 : 3036), after.at(36));
        EXPECT_EQ(after.at(508), after.at(1200));
        EXPECT_NE(after.at(508), before.at(508));
        EXPECT_EQ(after.at(508).substr(32), " " + described + " ");
    }
}

}  // namespace
