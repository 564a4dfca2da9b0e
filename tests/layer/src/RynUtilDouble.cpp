// The agent utility library, played by the scripted machine.

#include <windows.h>

#include <openssl/evp.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "LayerState.h"
#include "agent/rynUtil/UniqueHandle.h"
#include "host/RynUtil.h"
#include "layer/Machine.h"

namespace layer {

namespace {

struct DoubleState {
    std::mutex mutex;
    int failStartThread = 0;
};

DoubleState& doubles() {
    static DoubleState s;
    return s;
}

// Whether the thread base may start a thread now.
bool TakeStartPermission() {
    std::lock_guard<std::mutex> lock(doubles().mutex);
    if (doubles().failStartThread > 0) {
        --doubles().failStartThread;
        return false;
    }
    return true;
}

}  // namespace

void FailStartThread(int count) {
    std::lock_guard<std::mutex> lock(doubles().mutex);
    doubles().failStartThread = count;
}

void ResetNetWorkDouble();

void ResetDoubles() {
    {
        std::lock_guard<std::mutex> lock(doubles().mutex);
        doubles().failStartThread = 0;
    }
    ResetNetWorkDouble();
}

}  // namespace layer

namespace ryn {

// ---- CLogMessage: records instead of writing.

CLogMessage* CLogMessage::GetInstance() {
    static CLogMessage logger;
    return &logger;
}

void CLogMessage::log(int level, const char* source, int line, const char* format, ...) {
    char text[4096];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    layer::RecordLog(layer::LogRecord{level, source, line, text});
}

void CLogMessage::WriteLogMessage(const std::string& text, int level) {
    layer::RecordLog(layer::LogRecord{level, "", 0, text});
}

// ---- CThreadUtil: a real thread, so the lifecycle is exercised for real.

struct CThreadUtil::Impl {
    std::thread thread;
    std::mutex mutex;
    bool running = false;
};

CThreadUtil::CThreadUtil() : m_impl(new Impl) {}

CThreadUtil::~CThreadUtil() {
    waitForThreadFinish();
    delete m_impl;
}

bool CThreadUtil::startThread() {
    if (IsThreadRunning()) {
        return false;
    }
    if (m_impl->thread.joinable()) {
        m_impl->thread.join();
    }
    if (!layer::TakeStartPermission()) {
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(m_impl->mutex);
        m_impl->running = true;
    }
    m_impl->thread = std::thread([this] {
        run();
        {
            std::lock_guard<std::mutex> lock(m_impl->mutex);
            m_impl->running = false;
        }
        layer::Note("thread exit");  // tests wait for this before the next Start
    });
    return true;
}

bool CThreadUtil::IsThreadRunning() {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->running;
}

int CThreadUtil::waitForThreadFinish() {
    DWORD ignored = 0;
    layer::ShouldFail("waitForThreadFinish", &ignored);  // lets a test see the wait begin
    if (!m_impl->thread.joinable() || m_impl->thread.get_id() == std::this_thread::get_id()) {
        return -1;
    }
    m_impl->thread.join();
    return 0;
}

// ---- IProcessUtil over the machine's processes; texts in the system code page or wide.

namespace {

class ScriptedProcessUtil : public IProcessUtil {
  public:
    ProcessIdMap EnumProcesses() override {
        ProcessIdMap processes;
        DWORD error = 0;
        if (layer::ShouldFail("EnumProcesses", &error)) {
            return processes;
        }
        for (const layer::Process& process : layer::machine().processes) {
            if (process.enumerated) {
                processes[static_cast<int64_t>(process.pid)] =
                    CToolUtil::GetPathName(layer::Utf8ToCodePage(process.imagePath));
            }
        }
        return processes;
    }

    std::string GetProcessPath(int64_t pid, bool native) override {
        return CStringUtil::ws2s(GetProcessPathW(pid, native));
    }

    std::string GetProcessCommandLine(int64_t pid) override {
        return CStringUtil::ws2s(GetProcessCommandLineW(pid));
    }

    std::wstring GetProcessPathW(int64_t pid, bool) override {
        const layer::Process* process = Find(pid, "GetProcessPathW");
        return process ? layer::Utf8ToWide(process->imagePath) : std::wstring();
    }

    std::wstring GetProcessCommandLineW(int64_t pid) override {
        const layer::Process* process = Find(pid, "GetProcessCommandLineW");
        return process ? layer::Utf8ToWide(process->cmdLine) : std::wstring();
    }

  private:
    static const layer::Process* Find(int64_t pid, const char* call) {
        DWORD error = 0;
        if (layer::ShouldFail(call, &error) || pid < 0 || pid > 0xFFFFFFFFLL) {
            return nullptr;
        }
        return layer::machine().FindProcess(static_cast<uint32_t>(pid));
    }
};

}  // namespace

IProcessUtil* GetProcessUtil() {
    static ScriptedProcessUtil util;
    return &util;
}

// ---- CStringUtil: the system code page is ISO-8859-1 here.

std::string CStringUtil::s2s_utf8(const std::string& text) { return layer::CodePageToUtf8(text); }

std::wstring CStringUtil::s2ws(const std::string& text) {
    return layer::Utf8ToWide(layer::CodePageToUtf8(text));
}

std::string CStringUtil::ws2s(const std::wstring& text) {
    return layer::Utf8ToCodePage(layer::WideToUtf8(text));
}

std::string CStringUtil::ws2s_utf8(const std::wstring& text) { return layer::WideToUtf8(text); }

// Wide characters are code points here: a surrogate among them is an unpaired one.
std::string CStringUtil::ws2s_utf8_exact(const std::wstring& text) {
    const auto unpaired = [](wchar_t c) { return c >= 0xD800 && c <= 0xDFFF; };
    return std::any_of(text.begin(), text.end(), unpaired) ? "" : layer::WideToUtf8(text);
}

std::wstring CStringUtil::utf8_2ws(const std::string& text) { return layer::Utf8ToWide(text); }

std::string CStringUtil::IntToString(int64_t value, bool* ok, int base) {
    if (ok != nullptr) {
        *ok = base >= 2 && base <= 36;
    }
    if (base < 2 || base > 36) {
        return std::string();
    }
    const bool negative = value < 0;
    uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    std::string digits;
    do {
        digits.insert(digits.begin(), "0123456789abcdefghijklmnopqrstuvwxyz"[magnitude % base]);
        magnitude /= base;
    } while (magnitude != 0);
    return negative ? "-" + digits : digits;
}

// ---- CToolUtil: msleep records the pause and moves the scripted clock; no real sleep.

std::string CToolUtil::GetPathName(const std::string& path) {
    DWORD unused = 0;
    layer::ShouldFail("GetPathName", &unused);  // counted only, so tests can see the call
    size_t start = path.size();
    while (start > 0 && path[start - 1] != '\\' && path[start - 1] != '/') {
        --start;
    }
    return path.substr(start);
}

void CToolUtil::msleep(uint64_t milliseconds) {
    DWORD ignored = 0;
    layer::ShouldFail("msleep", &ignored);  // lets a test act during the pause
    layer::RecordSleep(milliseconds);
    layer::AdvanceClock(milliseconds * 10000ULL);
}

// ---- Files: UTF-8 paths into the machine's files.

namespace {

// Like the real library, every file operation maps its path first (Wow64PathMap).
layer::File* FindRegularFile(const std::string& path) {
    layer::File* file = layer::machine().FindFile(CFileUtil::GetAccessPath(path));
    return file != nullptr && !file->isDirectory ? file : nullptr;
}

}  // namespace

uint64_t CFileUtil::GetFileSize(const std::string& path) {
    const layer::File* file = FindRegularFile(path);
    return file != nullptr && file->openError == 0 ? layer::FileBytes(*file).size() : 0;
}

CFileInfo::CFileInfo(const std::string& path) : m_path(path) {}

std::string CFileUtil::GetChangeStamp(const std::string& path) {
    const layer::File* file = FindRegularFile(path);
    return file != nullptr && file->openError == 0 ? file->changeStamp : std::string();
}

bool CFileInfo::isFile() const { return FindRegularFile(m_path) != nullptr; }

CFileCom::CFileCom(const std::string& path) : m_path(path), m_handle(nullptr) {}

CFileCom::~CFileCom() { close(); }

bool CFileCom::open(FileComOpenFlag flag) {
    close();
    // The real library knows only FILECOM_OPEN_READ and fails any other value.
    if (flag != FILECOM_OPEN_READ) {
        layer::BadCall("CFileCom::open", "flag " + std::to_string(static_cast<int>(flag)));
        layer::FailWith(ERROR_INVALID_PARAMETER);
        return false;
    }
    layer::File* file = FindRegularFile(m_path);
    if (file == nullptr || file->openError != 0) {
        layer::FailWith(file == nullptr ? ERROR_FILE_NOT_FOUND : file->openError);
        return false;
    }
    m_handle = layer::NewHandle("file", reinterpret_cast<uint64_t>(file));
    return true;
}

void* CFileCom::nativeHandle() const { return m_handle; }

// The owner's release keeps the caller's error for its log record.
void CFileCom::close() { const UniqueHandle closing(std::exchange(m_handle, nullptr)); }

// ---- Digest: a real MD5 over the file's scripted bytes, counted as a content read.

std::string CAlgorithmUtil::GetFileMD5(const std::string& path) {
    layer::File* file = FindRegularFile(path);
    if (file == nullptr || file->openError != 0) {
        return std::string();
    }
    ++file->contentReads;
    const std::string bytes = layer::FileBytes(*file);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr);
    return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string CAlgorithmUtil::toHex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : bytes) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0x0F]);
    }
    return text;
}

}  // namespace ryn
