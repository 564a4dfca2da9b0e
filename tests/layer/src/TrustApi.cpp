// wintrust of the scripted machine: WinVerifyTrust with the generic Authenticode
// action on a file, answered from layer::File::signature. The verification state
// lives until the close action ("handle:trustState" balances). And imagehlp's header
// of the certificate table of a file opened through the layer.

#include <imagehlp.h>
#include <softpub.h>

#include <cstring>

#include "LayerState.h"
#include "layer/Control.h"
#include "layer/Machine.h"

namespace {

LONG Refuse(const std::string& why) {
    layer::BadCall("WinVerifyTrust", why);
    return static_cast<LONG>(E_INVALIDARG);
}

LONG HresultOf(DWORD error) { return static_cast<LONG>(0x80070000u | (error & 0xFFFFu)); }

// What the verification of that file answers.
LONG Verify(const wchar_t* path) {
    DWORD error = 0;
    if (layer::ShouldFail("WinVerifyTrust", &error)) {
        return static_cast<LONG>(error);
    }
    layer::File* file = layer::machine().FindFile(layer::WideToUtf8(path));
    if (file == nullptr || file->isDirectory) {
        return HresultOf(ERROR_FILE_NOT_FOUND);
    }
    if (file->openError != 0) {
        return HresultOf(file->openError);
    }
    ++file->contentReads;
    return file->signature.present ? file->signature.trust : TRUST_E_NOSIGNATURE;
}

}  // namespace

LONG WinVerifyTrust(HWND, GUID* pgActionID, LPVOID pWVTData) {
    static const GUID kGenericVerify = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    WINTRUST_DATA* data = static_cast<WINTRUST_DATA*>(pWVTData);
    if (pgActionID == nullptr || std::memcmp(pgActionID, &kGenericVerify, sizeof(GUID)) != 0) {
        return Refuse("an action other than the generic Authenticode one");
    }
    // No UI, no revocation, nothing fetched, a file by its path, state kept for the
    // close: other choices make Windows prompt, go to the network or read otherwise.
    if (data == nullptr || data->cbStruct != sizeof(WINTRUST_DATA) ||
        data->dwUIChoice != WTD_UI_NONE || data->fdwRevocationChecks != WTD_REVOKE_NONE ||
        data->dwUnionChoice != WTD_CHOICE_FILE || data->pFile == nullptr ||
        data->pFile->cbStruct != sizeof(WINTRUST_FILE_INFO) ||
        data->pFile->pcwszFilePath == nullptr || data->pFile->hFile != nullptr ||
        data->pFile->pgKnownSubject != nullptr ||
        data->dwProvFlags != WTD_CACHE_ONLY_URL_RETRIEVAL) {
        return Refuse("choices, flags or file not modelled");
    }
    if (data->dwStateAction == WTD_STATEACTION_CLOSE) {
        uint64_t payload = 0;
        if (!layer::LookupHandle(data->hWVTStateData, "trustState", &payload)) {
            layer::BadRelease("WinVerifyTrust close");
            return static_cast<LONG>(E_INVALIDARG);
        }
        layer::CloseLayerHandle(data->hWVTStateData);
        data->hWVTStateData = nullptr;
        return 0;
    }
    if (data->dwStateAction != WTD_STATEACTION_VERIFY) {
        return Refuse("state action " + layer::Hex(data->dwStateAction));
    }
    // Windows keeps state even for a failed verification: the close is always owed.
    data->hWVTStateData = layer::NewHandle("trustState", 0);
    return Verify(data->pFile->pcwszFilePath);
}

BOOL ImageGetCertificateHeader(HANDLE FileHandle, DWORD CertificateIndex,
                               LPWIN_CERTIFICATE Certificateheader) {
    DWORD error = 0;
    if (layer::ShouldFail("ImageGetCertificateHeader", &error)) {
        layer::FailWith(error);
        return FALSE;
    }
    uint64_t payload = 0;
    if (!layer::LookupHandle(FileHandle, "file", &payload) || Certificateheader == nullptr) {
        layer::FailWith(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const layer::Signature& signature = reinterpret_cast<layer::File*>(payload)->signature;
    if (!signature.present || CertificateIndex != 0) {
        layer::FailWith(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Certificateheader->dwLength = 8;
    Certificateheader->wRevision = WIN_CERT_REVISION_2_0;
    Certificateheader->wCertificateType = signature.certificateType;
    return TRUE;
}
