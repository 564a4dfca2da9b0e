// korva_pass_cost.exe: the program whose sleeping children a pass looks at, and the
// starter of the measurement, which lives in korva_pass_cost_driver.dll with
// korvaProc.dll and the agent's libraries (see PassCost.cpp for the options).
//
// The program itself imports nothing of ours, so that a thousand children cost
// Wine little memory each; it carries a 2 MiB block of data so that the one
// executable they all share is about as large as an agent's typical program, and
// is linked with 4 KiB file alignment, which lets Wine map it instead of copying it.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "SleepingChildren.h"

namespace {

constexpr size_t kBulkBytes = 2u << 20;
// Not const: debug information would carry a const array's value a second time.
unsigned char g_bulk[kBulkBytes] = {1};

typedef int (*RunPassCostFn)(int argc, char** argv);

// "--child PARENT_PID SEMAPHORE INDEX FILLER": says it runs, then waits for the parent.
int RunChild(int argc, char** argv) {
    if (argc < 4) {
        return 2;
    }
    const DWORD parentPid = static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10));
    const HANDLE parent = OpenProcess(SYNCHRONIZE, FALSE, parentPid);
    const HANDLE ready = OpenSemaphoreA(SEMAPHORE_MODIFY_STATE, FALSE, argv[3]);
    if (parent == nullptr || ready == nullptr) {
        return 1;
    }
    ReleaseSemaphore(ready, 1, nullptr);
    CloseHandle(ready);
    WaitForSingleObject(parent, INFINITE);
    CloseHandle(parent);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], passcost::CSleepingChildren::ChildFlag()) == 0) {
        return RunChild(argc, argv) + (g_bulk[argc % kBulkBytes] == 0xFF ? 1 : 0);
    }
    const HMODULE driver = LoadLibraryW(L"korva_pass_cost_driver.dll");
    const RunPassCostFn run =
        driver != nullptr ? reinterpret_cast<RunPassCostFn>(
                                reinterpret_cast<void*>(GetProcAddress(driver, "RunPassCost")))
                          : nullptr;
    if (run == nullptr) {
        std::fprintf(stderr, "pass-cost: korva_pass_cost_driver.dll not loaded (error %lu)\n",
                     GetLastError());
        return 1;
    }
    return run(argc, argv);
}
