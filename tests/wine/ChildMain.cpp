// A child for the process tests: says "ready" on stdout once it runs, then waits
// for its stdin to close, so the parent can read it at leisure.

#include <windows.h>

int main() {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD written = 0;
    WriteFile(out, "ready\n", 6, &written, nullptr);
    char byte;
    DWORD read = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &read, nullptr) && read != 0) {
    }
    return 0;
}
