#pragma once

// Stand-in for <wintrust.h> in the native build: WinVerifyTrust on a file, answered
// by the scripted machine from layer::Signature::trust, and the certificate table's
// header.

#include <wincrypt.h>

typedef struct HWND__* HWND;
typedef LONG HRESULT;

typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID;

#define TRUST_E_PROVIDER_UNKNOWN static_cast<LONG>(0x800B0001)
#define TRUST_E_SUBJECT_FORM_UNKNOWN static_cast<LONG>(0x800B0003)
#define TRUST_E_NOSIGNATURE static_cast<LONG>(0x800B0100)
#define TRUST_E_BAD_DIGEST static_cast<LONG>(0x80096010)

#define WTD_UI_NONE 2
#define WTD_REVOKE_NONE 0x00000000
#define WTD_CHOICE_FILE 1
#define WTD_STATEACTION_VERIFY 0x00000001
#define WTD_STATEACTION_CLOSE 0x00000002
#define WTD_CACHE_ONLY_URL_RETRIEVAL 0x00001000

typedef struct WINTRUST_FILE_INFO_ {
    DWORD cbStruct;
    LPCWSTR pcwszFilePath;
    HANDLE hFile;
    GUID* pgKnownSubject;
} WINTRUST_FILE_INFO;

typedef struct _WINTRUST_DATA {
    DWORD cbStruct;
    LPVOID pPolicyCallbackData;
    LPVOID pSIPClientData;
    DWORD dwUIChoice;
    DWORD fdwRevocationChecks;
    DWORD dwUnionChoice;
    union {
        struct WINTRUST_FILE_INFO_* pFile;
        void* pOther;
    };
    DWORD dwStateAction;
    HANDLE hWVTStateData;
    WCHAR* pwszURLReference;
    DWORD dwProvFlags;
    DWORD dwUIContext;
} WINTRUST_DATA;

LONG WinVerifyTrust(HWND hwnd, GUID* pgActionID, LPVOID pWVTData);

#define WIN_CERT_REVISION_2_0 0x0200
#define WIN_CERT_TYPE_X509 0x0001
#define WIN_CERT_TYPE_PKCS_SIGNED_DATA 0x0002

typedef struct _WIN_CERTIFICATE {
    DWORD dwLength;
    WORD wRevision;
    WORD wCertificateType;
    BYTE bCertificate[1];
} WIN_CERTIFICATE, *LPWIN_CERTIFICATE;
