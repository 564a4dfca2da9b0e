// kernel32 file calls over the machine's files. A file handle's payload is the
// layer::File; its position is kept here, per handle.

#include <windows.h>

#include <cstring>
#include <map>
#include <mutex>

#include "LayerState.h"
#include "layer/Machine.h"

namespace {

struct Positions {
    std::mutex mutex;
    std::map<HANDLE, uint64_t> at;
};

Positions& positions() {
    static Positions p;
    return p;
}

layer::File* FileOf(HANDLE handle, const char* call) {
    uint64_t payload = 0;
    DWORD error = 0;
    if (!layer::LookupHandle(handle, "file", &payload)) {
        layer::FailWith(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (layer::ShouldFail(call, &error)) {
        layer::FailWith(error);
        return nullptr;
    }
    return reinterpret_cast<layer::File*>(payload);
}

}  // namespace

namespace layer {

void ResetFileApi() {
    std::lock_guard<std::mutex> lock(positions().mutex);
    positions().at.clear();
}

}  // namespace layer

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition,
                   DWORD, HANDLE) {
    DWORD error = 0;
    if (layer::ShouldFail("CreateFileW", &error)) {
        layer::FailWith(error);
        return INVALID_HANDLE_VALUE;
    }
    if (path == nullptr || access != GENERIC_READ || disposition != OPEN_EXISTING) {
        layer::BadCall("CreateFileW", "only reads of existing files are modelled");
        layer::FailWith(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    layer::File* file = layer::machine().FindFile(layer::WideToUtf8(path));
    if (file == nullptr || file->isDirectory || file->openError != 0) {
        layer::FailWith(file == nullptr     ? ERROR_FILE_NOT_FOUND
                        : file->isDirectory ? ERROR_ACCESS_DENIED
                                            : file->openError);
        return INVALID_HANDLE_VALUE;
    }
    return layer::NewHandle("file", reinterpret_cast<uint64_t>(file));
}

BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD toRead, LPDWORD read, void*) {
    layer::File* file = FileOf(handle, "ReadFile");
    if (file == nullptr) {
        return FALSE;
    }
    const std::string bytes = layer::FileBytes(*file);
    std::lock_guard<std::mutex> lock(positions().mutex);
    uint64_t& position = positions().at[handle];
    if (file->version.readError != 0 && position == layer::VersionBlockOffset(*file)) {
        layer::FailWith(file->version.readError);
        return FALSE;
    }
    const uint64_t left = position < bytes.size() ? bytes.size() - position : 0;
    const DWORD count = left < toRead ? static_cast<DWORD>(left) : toRead;
    if (count > 0) {
        std::memcpy(buffer, bytes.data() + position, count);
    }
    position += count;
    *read = count;
    ++file->contentReads;
    return TRUE;
}

BOOL SetFilePointerEx(HANDLE handle, LARGE_INTEGER distance, PLARGE_INTEGER newPosition,
                      DWORD method) {
    layer::File* file = FileOf(handle, "SetFilePointerEx");
    if (file == nullptr) {
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(positions().mutex);
    uint64_t& position = positions().at[handle];
    const int64_t base = method == FILE_BEGIN ? 0
                         : method == FILE_CURRENT
                             ? static_cast<int64_t>(position)
                             : static_cast<int64_t>(layer::FileBytes(*file).size());
    if (method > FILE_END || base + distance.QuadPart < 0) {
        layer::FailWith(method > FILE_END ? ERROR_INVALID_PARAMETER : ERROR_NEGATIVE_SEEK);
        return FALSE;
    }
    position = static_cast<uint64_t>(base + distance.QuadPart);
    if (newPosition != nullptr) {
        newPosition->QuadPart = static_cast<LONGLONG>(position);
    }
    return TRUE;
}

BOOL GetFileSizeEx(HANDLE handle, PLARGE_INTEGER size) {
    const layer::File* file = FileOf(handle, "GetFileSizeEx");
    if (file == nullptr) {
        return FALSE;
    }
    size->QuadPart = static_cast<LONGLONG>(layer::FileBytes(*file).size());
    return TRUE;
}
