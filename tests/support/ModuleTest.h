#pragma once

// Fixture for tests that drive the whole module through its exported interface
// over the scripted machine.

#include <string>

#include "fileprops/FilePropertyCache.h"
#include "fileprops/ProcMd5Cache.h"
#include "layer/Control.h"
#include "layer/Machine.h"
#include "module/KorvaProcInterface.h"
#include "procinfo/WinPpidCache.h"
#include "support/LayerTest.h"

class ModuleTest : public LayerTest {
  protected:
    static constexpr int kWaitMs = 20000;
    static constexpr int64_t kNow = 1700000000;  // the scripted clock at reset

    void SetUp() override {
        LayerTest::SetUp();
        DestroyCaches();
    }

    void TearDown() override {
        DestroyKorvaProcInterface();
        DestroyCaches();
        LayerTest::TearDown();
    }

    static void DestroyCaches() {
        CSingleton<CProcMd5Cache>::DestroyInstance();
        CSingleton<CWinPpidCache>::DestroyInstance();
        CSingleton<CFilePropertyCache>::DestroyInstance();
    }

    // A process with a regular executable file behind it.
    static layer::Process& AddProcess(uint32_t pid, const std::string& path,
                                      const std::string& cmdLine = "") {
        layer::Process process;
        process.pid = pid;
        process.ppid = 1;
        process.imagePath = path;
        process.cmdLine = cmdLine.empty() ? "\"" + path + "\"" : cmdLine;
        process.creationTime = layer::FileTimeFromUnix(kNow - 3600);
        process.kernelTime = 20000000;  // 2 s
        process.userTime = 30000000;    // 3 s
        if (layer::machine().FindFile(path) == nullptr) {
            layer::File& file = layer::machine().files[path];
            file.content = "MZ image of " + path;
            file.creationTime = layer::FileTimeFromUnix(kNow - 86400 * 30);
            file.lastWriteTime = layer::FileTimeFromUnix(kNow - 86400);
        }
        layer::machine().processes.push_back(process);
        return layer::machine().processes.back();
    }

    // Starts a pass and waits until its thread has finished (passNumber passes in all).
    static bool RunPass(CKorvaProcInterface* module, int passNumber = 1,
                        const std::string& cmdIdx = "cmd-1",
                        const std::string& trigger = "manual") {
        if (module->Start(cmdIdx, trigger) != 1) {
            return false;
        }
        return WaitForPassEnd(passNumber);
    }

    static bool WaitForPassEnd(int passNumber) {
        return layer::WaitForJournal("thread exit", passNumber, kWaitMs);
    }
};
