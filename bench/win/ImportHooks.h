#pragma once

// What korvaProc.dll and rynUtil.dll ask of the system during a pass, seen from
// outside: their import slots of the calls below are pointed at hooks that count
// every call and, while timing is on, time it. The pass's pauses (rynUtil's msleep
// as korvaProc.dll imports it) are always timed, so that what they really took can
// be taken out of a pass's wall time.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace acceptance {
class ImportPatch;
}

namespace passcost {

class CImportHooks {
  public:
    struct Row {
        std::string name;
        uint64_t calls = 0;
        double microseconds = 0;  // 0 unless timed
    };
    struct Pauses {
        uint64_t count = 0;
        uint64_t requestedMs = 0;
        double sleptMicroseconds = 0;
    };

    // Installs the hooks; false from installed() when a module is not loaded.
    CImportHooks();
    ~CImportHooks();
    CImportHooks(const CImportHooks&) = delete;
    CImportHooks& operator=(const CImportHooks&) = delete;

    bool installed() const { return m_installed; }
    void SetTiming(bool on);
    // The counts since the last Take (calls with none left out), then zero again.
    std::vector<Row> TakeCalls();
    Pauses TakePauses();

  private:
    void Patch(const wchar_t* importer, const void* target, const void* hook);

    std::vector<std::unique_ptr<acceptance::ImportPatch>> m_patches;
    bool m_installed = false;
};

}  // namespace passcost
