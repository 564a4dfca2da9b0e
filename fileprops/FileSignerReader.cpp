#include "fileprops/FileSignerReader.h"

#include <windows.h>
#include <wincrypt.h>
#include <softpub.h>
#include <wintrust.h>
#include <imagehlp.h>

#include <cwchar>
#include <utility>

#include "module/WinHandle.h"
#include "module/WinOwner.h"

namespace {

const DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr size_t kDateChars = 128;
constexpr WORD kLastYear = 9999;  // the date text has four digits for the year
// Chains are built from what the machine holds: no issuer or revocation list is fetched.
const DWORD kChainFlags = CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL;
// Stands for a failure that left no code, so that it can never read as "trusted".
constexpr uint32_t kFailedWithoutCode = 0x80004005;  // E_FAIL
constexpr uint32_t kChainingError = 0x800B010A;      // CERT_E_CHAINING

struct LocalTraits : NullMeansNone<HLOCAL> {
    static void Free(HLOCAL memory) { LocalFree(memory); }
};
struct CertContextTraits : NullMeansNone<PCCERT_CONTEXT> {
    static void Free(PCCERT_CONTEXT context) { CertFreeCertificateContext(context); }
};
struct CertStoreTraits : NullMeansNone<HCERTSTORE> {
    static void Free(HCERTSTORE store) { CertCloseStore(store, 0); }
};
struct CryptMsgTraits : NullMeansNone<HCRYPTMSG> {
    static void Free(HCRYPTMSG message) { CryptMsgClose(message); }
};
struct CertChainTraits : NullMeansNone<PCCERT_CHAIN_CONTEXT> {
    static void Free(PCCERT_CHAIN_CONTEXT chain) { CertFreeCertificateChain(chain); }
};

using LocalBuffer = CWinOwner<LocalTraits>;
using CertContext = CWinOwner<CertContextTraits>;
using CertStore = CWinOwner<CertStoreTraits>;
using CryptMessage = CWinOwner<CryptMsgTraits>;
using CertChain = CWinOwner<CertChainTraits>;

uint32_t LastErrorCode() {
    const DWORD error = GetLastError();
    return error != 0 ? error : kFailedWithoutCode;
}

// Windows' answers for a file without an embedded signature of a kind it knows.
bool CarriesNoSignature(LONG answer) {
    return answer == TRUST_E_NOSIGNATURE || answer == TRUST_E_SUBJECT_FORM_UNKNOWN ||
           answer == TRUST_E_PROVIDER_UNKNOWN;
}

// The system's Authenticode verdict on the file: its digest against the signature's,
// and the signature itself. No UI, no revocation check, nothing fetched.
LONG VerifyFileTrust(const wchar_t* path) {
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = path;
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
    const LONG answer = WinVerifyTrust(nullptr, &action, &data);
    if (data.hWVTStateData != nullptr) {
        data.dwStateAction = WTD_STATEACTION_CLOSE;
        WinVerifyTrust(nullptr, &action, &data);
    }
    return answer;
}

// The chain policy's error for the certificate's chain judged at that instant (null:
// now), with the signature's certificates as candidates; 0 when it ends in a root
// the machine trusts and holds at that instant. A chain that ends in no root at all
// fails too, whatever the policy says of it.
uint32_t ChainError(PCCERT_CONTEXT certificate, HCERTSTORE store, FILETIME* at, LPCSTR policy) {
    CERT_CHAIN_PARA chainPara = {};
    chainPara.cbSize = sizeof(chainPara);
    CertChain chain;
    if (!CertGetCertificateChain(nullptr, certificate, at, store, &chainPara, kChainFlags, nullptr,
                                 chain.out())) {
        return LastErrorCode();
    }
    CERT_CHAIN_POLICY_PARA policyPara = {};
    policyPara.cbSize = sizeof(policyPara);
    CERT_CHAIN_POLICY_STATUS status = {};
    status.cbSize = sizeof(status);
    if (!CertVerifyCertificateChainPolicy(policy, chain.get(), &policyPara, &status)) {
        return LastErrorCode();
    }
    if (status.dwError == 0 &&
        (chain.get()->TrustStatus.dwErrorStatus & CERT_TRUST_IS_PARTIAL_CHAIN) != 0) {
        return kChainingError;
    }
    return status.dwError;
}

template <typename T>
const T* As(const LocalBuffer& buffer) {
    return static_cast<const T*>(buffer.get());
}

// Signer information 0 of the message, in a buffer of its own; empty on failure.
LocalBuffer ReadSignerInfo(HCRYPTMSG message) {
    DWORD size = 0;
    if (!CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size)) {
        return LocalBuffer();
    }
    LocalBuffer buffer(LocalAlloc(LPTR, size));
    if (!buffer || !CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, buffer.get(), &size)) {
        return LocalBuffer();
    }
    return buffer;
}

// The certificate of the store with the signer's issuer and serial number.
CertContext FindSignerCertificate(HCERTSTORE store, const CMSG_SIGNER_INFO& signer) {
    CERT_INFO wanted = {};
    wanted.Issuer = signer.Issuer;
    wanted.SerialNumber = signer.SerialNumber;
    return CertContext(
        CertFindCertificateInStore(store, kEncoding, 0, CERT_FIND_SUBJECT_CERT, &wanted, nullptr));
}

// The first attribute with that identifier that has a value, or null.
const CRYPT_ATTRIBUTE* FindFirstAttribute(const CRYPT_ATTRIBUTES& attributes, const char* oid) {
    for (DWORD i = 0; i < attributes.cAttr; ++i) {
        const CRYPT_ATTRIBUTE& attribute = attributes.rgAttr[i];
        if (attribute.pszObjId != nullptr && lstrcmpA(attribute.pszObjId, oid) == 0) {
            // Only the first match counts; one without a value counts as undecodable.
            return attribute.cValue > 0 ? &attribute : nullptr;
        }
    }
    return nullptr;
}

bool ReadCertName(PCCERT_CONTEXT certificate, DWORD type, DWORD flags, std::wstring& name) {
    const DWORD length = CertGetNameStringW(certificate, type, flags, nullptr, nullptr, 0);
    if (length == 0) {
        return false;
    }
    LocalBuffer buffer(LocalAlloc(LPTR, length * sizeof(wchar_t)));
    if (!buffer) {
        return false;
    }
    wchar_t* text = static_cast<wchar_t*>(buffer.get());
    if (CertGetNameStringW(certificate, type, flags, nullptr, text, length) == 0) {
        return false;
    }
    name.assign(text, wcsnlen(text, length));
    return true;
}

// Issuer display name, then subject name; a failure leaves the later fields unread.
bool ReadCertNames(PCCERT_CONTEXT certificate, FileSignerInfo& info) {
    std::wstring issuer;
    if (!ReadCertName(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, CERT_NAME_ISSUER_FLAG, issuer)) {
        return false;
    }
    info.issuerName = issuer;
    std::wstring signer;
    if (!ReadCertName(certificate, CERT_NAME_ATTR_TYPE, 0, signer)) {
        return false;
    }
    info.signerName = signer;
    return true;
}

// The PKCS #9 counter-signer of the first counter-signature attribute, decoded, and
// that attribute's encoded value.
bool FindCounterSigner(const CMSG_SIGNER_INFO& signer, LocalBuffer& counterSigner,
                       const CRYPT_ATTR_BLOB** encoded) {
    const CRYPT_ATTRIBUTE* attribute =
        FindFirstAttribute(signer.UnauthAttrs, szOID_RSA_counterSign);
    if (attribute == nullptr) {
        return false;
    }
    const CRYPT_ATTR_BLOB& value = attribute->rgValue[0];
    *encoded = &value;
    DWORD size = 0;
    if (!CryptDecodeObject(kEncoding, PKCS7_SIGNER_INFO, value.pbData, value.cbData, 0, nullptr,
                           &size)) {
        return false;
    }
    LocalBuffer buffer(LocalAlloc(LPTR, size));
    if (!buffer || !CryptDecodeObject(kEncoding, PKCS7_SIGNER_INFO, value.pbData, value.cbData, 0,
                                      buffer.get(), &size)) {
        return false;
    }
    counterSigner = std::move(buffer);
    return true;
}

// True when the counter-signature was made with that certificate's key over this
// message's signer, its encrypted digest included: one lifted from another file fails.
bool CounterSignatureVerifies(HCRYPTMSG message, const CRYPT_ATTR_BLOB& counterSignature,
                              PCCERT_CONTEXT counterSignerCertificate) {
    DWORD size = 0;
    if (!CryptMsgGetParam(message, CMSG_ENCODED_SIGNER, 0, nullptr, &size)) {
        return false;
    }
    LocalBuffer encoded(LocalAlloc(LPTR, size));
    if (!encoded || !CryptMsgGetParam(message, CMSG_ENCODED_SIGNER, 0, encoded.get(), &size)) {
        return false;
    }
    return CryptMsgVerifyCountersignatureEncodedEx(
               0, kEncoding, static_cast<BYTE*>(encoded.get()), size, counterSignature.pbData,
               counterSignature.cbData, CMSG_VERIFY_SIGNER_CERT,
               const_cast<CERT_CONTEXT*>(counterSignerCertificate), 0, nullptr) != FALSE;
}

// The counter-signer's signing time (UTC).
bool ReadSigningTime(const CMSG_SIGNER_INFO& counterSigner, FILETIME& utc) {
    const CRYPT_ATTRIBUTE* attribute =
        FindFirstAttribute(counterSigner.AuthAttrs, szOID_RSA_signingTime);
    if (attribute == nullptr) {
        return false;
    }
    const CRYPT_ATTR_BLOB& value = attribute->rgValue[0];
    DWORD size = sizeof(utc);
    return CryptDecodeObject(kEncoding, szOID_RSA_signingTime, value.pbData, value.cbData, 0, &utc,
                             &size) != FALSE;
}

// 14 digits of the local time; empty for a time that cannot be converted or written so.
std::wstring FormatSignDate(const FILETIME& utc) {
    FILETIME localTime = {};
    SYSTEMTIME time = {};
    if (!FileTimeToLocalFileTime(&utc, &localTime) || !FileTimeToSystemTime(&localTime, &time) ||
        time.wYear > kLastYear) {
        return std::wstring();
    }
    wchar_t text[kDateChars] = {};
    swprintf_s(text, kDateChars, L"%04d%02d%02d%02d%02d%02d", time.wYear, time.wMonth, time.wDay,
               time.wHour, time.wMinute, time.wSecond);
    return text;
}

// The counter-signature's signing time, when it verifies over this signer and its
// certificate chains, at that time, to a root the machine trusts.
bool ReadVerifiedSigningTime(HCRYPTMSG message, HCERTSTORE store, const CRYPT_ATTR_BLOB& encoded,
                             const CMSG_SIGNER_INFO& counterSigner,
                             PCCERT_CONTEXT counterSignerCertificate, FILETIME& utc) {
    return CounterSignatureVerifies(message, encoded, counterSignerCertificate) &&
           ReadSigningTime(counterSigner, utc) &&
           ChainError(counterSignerCertificate, store, &utc, CERT_CHAIN_POLICY_BASE) == 0;
}

}  // namespace

bool ReadFileSigner(const wchar_t* path, FileSignerInfo& info) {
    if (path == nullptr) {
        return false;
    }
    // Held from the verification to the last read, so that both see the same bytes:
    // while it is open nobody can write, replace or rename the file.
    const CWinHandle hold(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!hold.valid()) {
        info.verifyError = LastErrorCode();
        return false;
    }
    // A signature crypt32 cannot decode counts as none, silently, as it always did.
    CertStore store;
    CryptMessage message;
    if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, path, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                          CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, store.out(),
                          message.out(), nullptr)) {
        return false;
    }
    // Wine's verification faults on a certificate table of another type than PKCS #7
    // instead of failing; such a table holds no signature of a kind it knows anyway.
    WIN_CERTIFICATE table = {};
    if (!ImageGetCertificateHeader(hold.get(), 0, &table) ||
        table.wCertificateType != WIN_CERT_TYPE_PKCS_SIGNED_DATA) {
        return false;
    }
    const LONG answer = VerifyFileTrust(path);
    if (answer != 0) {
        info.verifyError = CarriesNoSignature(answer) ? 0 : static_cast<uint32_t>(answer);
        return false;
    }
    const LocalBuffer signerBuffer = ReadSignerInfo(message.get());
    if (!signerBuffer) {
        return false;
    }
    const CMSG_SIGNER_INFO& signer = *As<CMSG_SIGNER_INFO>(signerBuffer);
    const CertContext signerCertificate = FindSignerCertificate(store.get(), signer);
    if (!signerCertificate) {
        return false;
    }
    ReadCertNames(signerCertificate.get(), info);
    LocalBuffer counterSignerBuffer;
    const CRYPT_ATTR_BLOB* counterSignature = nullptr;
    FILETIME signingTime = {};
    bool signingTimeVerified = false;
    if (FindCounterSigner(signer, counterSignerBuffer, &counterSignature)) {
        const CMSG_SIGNER_INFO& counterSigner = *As<CMSG_SIGNER_INFO>(counterSignerBuffer);
        const CertContext counterSignerCertificate =
            FindSignerCertificate(store.get(), counterSigner);
        if (!counterSignerCertificate) {
            return false;
        }
        signingTimeVerified =
            ReadVerifiedSigningTime(message.get(), store.get(), *counterSignature, counterSigner,
                                    counterSignerCertificate.get(), signingTime);
    }
    // A certificate that expired after a verified signing time still vouches for what
    // it signed then; without one it must hold now.
    info.verifyError =
        ChainError(signerCertificate.get(), store.get(),
                   signingTimeVerified ? &signingTime : nullptr, CERT_CHAIN_POLICY_AUTHENTICODE);
    if (info.verifyError != 0) {
        return false;
    }
    const std::wstring date = signingTimeVerified ? FormatSignDate(signingTime) : std::wstring();
    if (!date.empty()) {
        info.signDate = date;
    }
    return true;
}
