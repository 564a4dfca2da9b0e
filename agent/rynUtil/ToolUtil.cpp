#include <windows.h>

#include "host/RynUtil.h"

namespace ryn {

std::string CToolUtil::GetPathName(const std::string& path) {
    const size_t separator = path.find_last_of("\\/");
    return separator == std::string::npos ? path : path.substr(separator + 1);
}

void CToolUtil::msleep(uint64_t milliseconds) {
    // Sleep takes 32 bits and treats 0xFFFFFFFF as "forever": sleep in bounded steps.
    constexpr uint64_t kLongestStep = 0x7FFFFFFF;
    while (milliseconds > 0) {
        const uint64_t step = milliseconds < kLongestStep ? milliseconds : kLongestStep;
        Sleep(static_cast<DWORD>(step));
        milliseconds -= step;
    }
}

}  // namespace ryn
