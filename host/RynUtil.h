#pragma once

// What korvaProc.dll uses of the agent's utility library rynUtil.dll.
// Paths handed to the file operations are UTF-8 text, as the module holds them.

#include <cstdint>
#include <map>
#include <string>

#include "host/RynApi.h"

// Lets GCC and Clang check a printf-style call's arguments against its format;
// other compilers see nothing. MinGW checks against the printf that its runtime
// formats with (gnu_printf with its own stdio, as rynUtil is built, else ms_printf):
// a 64-bit value passed to "%d" is caught in both bitnesses, where it would print
// right in a 64-bit build and shift every later argument in a 32-bit one.
#if defined(__MINGW32__)
#include <cstdio>  // defines __MINGW_PRINTF_FORMAT
#define RYN_PRINTF_FORMAT(formatIndex, firstArgument) \
    __attribute__((format(__MINGW_PRINTF_FORMAT, formatIndex, firstArgument)))
#elif defined(__GNUC__) || defined(__clang__)
#define RYN_PRINTF_FORMAT(formatIndex, firstArgument) \
    __attribute__((format(printf, formatIndex, firstArgument)))
#else
#define RYN_PRINTF_FORMAT(formatIndex, firstArgument)
#endif

namespace ryn {

// Running processes: pid (zero-extended to 64 bits) to a narrow text (the image name).
typedef std::map<int64_t, std::string> ProcessIdMap;

enum RynLogLevel {
    RYN_LOG_ERROR = 2,  // failures
    RYN_LOG_INFO = 4,   // progress notes and notices
};

class RYN_API CLogMessage {
  public:
    static CLogMessage* GetInstance();

    // printf-style (%d, %s). Callers pass one trailing empty string after the
    // format's own arguments; it never changes the text. The check counts the
    // object as argument 1; callers' builds leave out -Wformat-extra-args only.
    void log(int level, const char* source, int line, const char* format, ...)
        RYN_PRINTF_FORMAT(5, 6);
    // Writes a text that was composed beforehand.
    void WriteLogMessage(const std::string& text, int level);

  private:
    CLogMessage() = default;
};

// Thread base: one thread per startThread() that calls run() once.
class RYN_API CThreadUtil {
  public:
    CThreadUtil();
    CThreadUtil(const CThreadUtil&) = delete;
    CThreadUtil& operator=(const CThreadUtil&) = delete;

    virtual void run() = 0;

    // Joins a finished earlier thread, then starts a new one; false when none started.
    bool startThread();
    bool IsThreadRunning();
    // Blocks until run() has returned; 0 when there was a thread to wait for, -1 when
    // there was none or the caller is that thread (which returns at once).
    int waitForThreadFinish();

  protected:
    // Joins the thread; derived classes must have waited for it before they go.
    ~CThreadUtil();

  private:
    void RunContained() noexcept;

    struct Impl;
    Impl* m_impl;
};

class IProcessUtil {
  public:
    virtual ProcessIdMap EnumProcesses() = 0;
    // Image path in the system code page, "" when it cannot be obtained. With
    // nativeName the path is the kernel's device form (\Device\HarddiskVolume1\...).
    virtual std::string GetProcessPath(int64_t pid, bool nativeName) = 0;
    // Command line in the system code page, "" when it cannot be obtained.
    virtual std::string GetProcessCommandLine(int64_t pid) = 0;
    // The same two texts exactly as the system holds them, "" when they cannot be
    // obtained: a character outside the code page is neither lost nor replaced by a
    // look-alike that names another file.
    virtual std::wstring GetProcessPathW(int64_t pid, bool nativeName) = 0;
    virtual std::wstring GetProcessCommandLineW(int64_t pid) = 0;

  protected:
    ~IProcessUtil() = default;
};

// Process-wide object, never freed by its users.
RYN_API IProcessUtil* GetProcessUtil();

class RYN_API CStringUtil {
  public:
    static std::string s2s_utf8(const std::string& text);    // system code page -> UTF-8
    static std::wstring s2ws(const std::string& text);       // system code page -> wide
    static std::string ws2s(const std::wstring& text);       // wide -> system code page
    static std::string ws2s_utf8(const std::wstring& text);  // wide -> UTF-8
    // wide -> UTF-8 that converts back to the very same wide text, for a path that files
    // are opened by: "" when the text has an unpaired surrogate (no UTF-8 form), where
    // ws2s_utf8 puts U+FFFD, which may name another file.
    static std::string ws2s_utf8_exact(const std::wstring& text);
    static std::wstring utf8_2ws(const std::string& text);  // UTF-8 -> wide
    // Decimal (or another base from 2 to 36) text of a signed value, "-" for negatives.
    // ok, when given, tells whether the base was usable; "" otherwise.
    static std::string IntToString(int64_t value, bool* ok, int base);
};

// A point in time, seconds since 1970-01-01 00:00:00 UTC, rendered in UTC.
class RYN_API CTimeUtil {
  public:
    explicit CTimeUtil(int64_t secondsSince1970);
    // strftime-style; "" for a time that cannot be rendered.
    std::string ToString(const char* format) const;

  private:
    int64_t m_time;
};

class RYN_API CToolUtil {
  public:
    // Last component of a path ('\\' or '/' separated).
    static std::string GetPathName(const std::string& path);
    static void msleep(uint64_t milliseconds);
};

class RYN_API CFileUtil {
  public:
    // Size in bytes, 0 when it cannot be read.
    static uint64_t GetFileSize(const std::string& path);
    // The path through which this process reaches the file that `path` names. A
    // 32-bit process on 64-bit Windows sees the 64-bit system directory only as
    // <Windows>\Sysnative: file-system redirection would hand it the 32-bit copy
    // from SysWOW64. Every other path, and any path in a 64-bit process, comes back
    // unchanged. The file operations of this library map their paths themselves.
    static std::string GetAccessPath(const std::string& path);
    // Bytes that change with every change of the file's content, times or identity and
    // that no writer can set back (the change journal's stamp); "" where the file system
    // keeps none. Equal stamps mean the same file, unchanged.
    static std::string GetChangeStamp(const std::string& path);
};

class RYN_API CFileInfo {
  public:
    explicit CFileInfo(const std::string& path);
    // True for an existing regular file (not a directory).
    bool isFile() const;

  private:
    std::string m_path;
};

enum FileComOpenFlag {
    FILECOM_OPEN_READ = 1,  // existing file, read access, shared with every other opener
};

class RYN_API CFileCom {
  public:
    explicit CFileCom(const std::string& path);
    ~CFileCom();
    CFileCom(const CFileCom&) = delete;
    CFileCom& operator=(const CFileCom&) = delete;

    bool open(FileComOpenFlag flag);
    // The system file handle (a HANDLE), null before a successful open.
    void* nativeHandle() const;
    void close();

  private:
    std::string m_path;
    void* m_handle;
};

class RYN_API CAlgorithmUtil {
  public:
    // MD5 digest bytes of the file's content; "" when the file cannot be read.
    static std::string GetFileMD5(const std::string& path);
    // Lower-case hexadecimal text of the bytes.
    static std::string toHex(const std::string& bytes);
};

}  // namespace ryn
