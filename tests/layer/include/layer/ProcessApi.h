#pragma once

// Process calls of kernel32 and advapi32 (OpenProcess, GetProcessTimes, tokens, ...).
// Structures keep Windows' x64 layout; the sizes are checked below.

#include "layer/WinTypes.h"

#ifndef ERROR_NONE_MAPPED
#define ERROR_NONE_MAPPED 1332L
#endif

// Process access rights
#define PROCESS_VM_READ 0x0010
#define PROCESS_QUERY_INFORMATION 0x0400
#define PROCESS_QUERY_LIMITED_INFORMATION 0x1000

// Token access rights
#define STANDARD_RIGHTS_READ 0x00020000L
#define TOKEN_QUERY 0x0008
#define TOKEN_READ (STANDARD_RIGHTS_READ | TOKEN_QUERY)

typedef struct _IO_COUNTERS {
    ULONGLONG ReadOperationCount;
    ULONGLONG WriteOperationCount;
    ULONGLONG OtherOperationCount;
    ULONGLONG ReadTransferCount;
    ULONGLONG WriteTransferCount;
    ULONGLONG OtherTransferCount;
} IO_COUNTERS, *PIO_COUNTERS;
static_assert(sizeof(IO_COUNTERS) == 48, "IO_COUNTERS must keep the Windows layout");

typedef PVOID PSID;

typedef struct _SID_AND_ATTRIBUTES {
    PSID Sid;
    DWORD Attributes;
} SID_AND_ATTRIBUTES, *PSID_AND_ATTRIBUTES;

typedef struct _TOKEN_USER {
    SID_AND_ATTRIBUTES User;
} TOKEN_USER, *PTOKEN_USER;
static_assert(sizeof(TOKEN_USER) == 2 * sizeof(void*), "TOKEN_USER must keep the Windows layout");

typedef enum _TOKEN_INFORMATION_CLASS {
    TokenUser = 1,
    TokenGroups,
    TokenPrivileges,
    TokenOwner,
} TOKEN_INFORMATION_CLASS;

typedef enum _SID_NAME_USE {
    SidTypeUser = 1,
    SidTypeGroup,
    SidTypeDomain,
    SidTypeAlias,
    SidTypeWellKnownGroup,
    SidTypeDeletedAccount,
    SidTypeInvalid,
    SidTypeUnknown,
    SidTypeComputer,
} SID_NAME_USE,
    *PSID_NAME_USE;

// The process handle's payload is the pid and the granted access; every call on it
// checks the right that Windows documents for it.
HANDLE OpenProcess(DWORD desiredAccess, BOOL inheritHandle, DWORD processId);
BOOL GetProcessTimes(HANDLE process, LPFILETIME creation, LPFILETIME exit, LPFILETIME kernel,
                     LPFILETIME user);
BOOL GetProcessIoCounters(HANDLE process, PIO_COUNTERS counters);

BOOL OpenProcessToken(HANDLE process, DWORD desiredAccess, PHANDLE token);
// Only TokenUser is answered. The SID names the token's process, so that
// LookupAccountSidW can answer with that process's account.
BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, LPVOID info, DWORD length,
                         PDWORD returnLength);
// Account and domain as the model's UTF-8 texts say, every character kept.
BOOL LookupAccountSidW(LPCWSTR systemName, PSID sid, LPWSTR name, LPDWORD nameChars, LPWSTR domain,
                       LPDWORD domainChars, PSID_NAME_USE use);
