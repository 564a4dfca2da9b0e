#pragma once

#include "module/LogRecord.h"

// Every record the module writes, in one place: the code logs through these and the
// tests read them. docs/operator.md explains each to operators.
namespace log_records {

using ryn::RYN_LOG_ERROR;
using ryn::RYN_LOG_INFO;

// The pass.
inline constexpr LogRecord kPassStarts{nullptr, 0, RYN_LOG_INFO, "refreshing proc info"};
inline constexpr LogRecord kPassEnds{nullptr, 0, RYN_LOG_INFO, "end of refresh proc info"};
inline constexpr LogRecord kStopAsked{nullptr, 0, RYN_LOG_INFO, "stop korvaProc."};
inline constexpr LogRecord kNoProcessBound{"KorvaProcInterfaceImp", 108, RYN_LOG_ERROR,
                                           "parse process basic info failed."};
inline constexpr LogRecord kInitFailed{"KorvaProcInterfaceImp", 145, RYN_LOG_ERROR,
                                       "init proc info parser error."};

// A process. Pids print as the 32-bit id the system uses in "%d" records.
inline constexpr LogRecord kOpenProcessFailed{"ProcInfoParser_Win", 46, RYN_LOG_ERROR,
                                              "Open process error. PID: %d, err: %d"};
inline constexpr LogRecord kProcessTimesFailed{"ProcInfoParser_Win", 54, RYN_LOG_ERROR,
                                               "Get proc times error. PID: %d, err: %d"};
inline constexpr LogRecord kIoCountersFailed{"ProcInfoParser_Win", 80, RYN_LOG_ERROR,
                                             "Get process io counters error. PID: %d, err: %d"};
inline constexpr LogRecord kPathInexact{
    "ProcInfoParser_Win", 128, RYN_LOG_ERROR,
    "image path is not valid UTF-16, file values left out. PID: %d"};
inline constexpr LogRecord kMemoryUseFailed{"ProcInfoParser_Win", 187, RYN_LOG_ERROR,
                                            "Get proc memuse error. PID: %d, err: %d"};
inline constexpr LogRecord kFileTimesFailed{"ProcInfoParser_Win", 317, RYN_LOG_ERROR,
                                            "cal file time error: %d, %s"};
// The account's records are composed whole: the stored 64-bit pid, the code unsigned.
inline constexpr LogRecord kTokenOpenFailed{nullptr, 0, RYN_LOG_ERROR,
                                            "Open process token error. PID: %lld, err: %u"};
inline constexpr LogRecord kTokenUserFailed{nullptr, 0, RYN_LOG_ERROR,
                                            "GetTokenInformation. PID: %lld, err: %u"};
// The text operators know, though the account is read with the wide call.
inline constexpr LogRecord kAccountFailed{nullptr, 0, RYN_LOG_ERROR,
                                          "LookupAccountSidA error. PID: %lld, err: %u"};

// The executable.
inline constexpr LogRecord kFileNotFound{"ProcMd5Cache", 63, RYN_LOG_ERROR, "file not found : %s"};
inline constexpr LogRecord kNotAFile{"FilePropertyCache", 56, RYN_LOG_ERROR,
                                     "Parameter error when add new file property cache: %s"};
inline constexpr LogRecord kNotVerified{
    "FilePropertyCache", 70, RYN_LOG_ERROR,
    "Signature not verified, signer not reported. err: 0x%08X path: %s"};
inline constexpr LogRecord kVersionReadFailed{"FilePropertyCache", 90, RYN_LOG_ERROR,
                                              "GetFileVersionInfoA error. err: %d"};
inline constexpr LogRecord kTranslationFailed{"FilePropertyCache", 100, RYN_LOG_ERROR,
                                              "VerQueryValueA error. err1: %d"};
inline constexpr LogRecord kDescriptionFailed{"FilePropertyCache", 114, RYN_LOG_ERROR,
                                              "VerQueryValueA error. err2: %d"};

// TCP.
inline constexpr LogRecord kLargeTcpTable{"TcpConnectionParser_win", 31, RYN_LOG_INFO,
                                          "tcp entries larger than %d"};
inline constexpr LogRecord kTcpTableFailed{"WinTcpTableUtil", 30, RYN_LOG_ERROR,
                                           "Get tcp table error.%d"};

}  // namespace log_records
