#include "fileprops/FileSignerReader.h"

#include <windows.h>
#include <wincrypt.h>

#include <cwchar>
#include <utility>

namespace {

const DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr size_t kDateChars = 128;
constexpr WORD kLastYear = 9999;  // the date text has four digits for the year

// Move-only owner of one crypt32 or kernel32 object; the release keeps the last error.
template <typename Handle, typename Traits>
class Owner {
public:
    Owner() = default;
    explicit Owner(Handle handle) : m_handle(handle) {}
    ~Owner() { reset(); }
    Owner(Owner&& other) noexcept : m_handle(std::exchange(other.m_handle, Handle())) {}
    Owner& operator=(Owner&& other) noexcept {
        if (this != &other) {
            reset();
            m_handle = std::exchange(other.m_handle, Handle());
        }
        return *this;
    }
    Owner(const Owner&) = delete;
    Owner& operator=(const Owner&) = delete;

    Handle get() const { return m_handle; }
    // For calls that hand out a new object through a pointer.
    Handle* out() {
        reset();
        return &m_handle;
    }
    explicit operator bool() const { return m_handle != Handle(); }

    void reset() {
        if (m_handle != Handle()) {
            const DWORD error = GetLastError();
            Traits::Free(m_handle);
            SetLastError(error);
            m_handle = Handle();
        }
    }

private:
    Handle m_handle = Handle();
};

struct LocalTraits {
    static void Free(HLOCAL memory) { LocalFree(memory); }
};
struct CertContextTraits {
    static void Free(PCCERT_CONTEXT context) { CertFreeCertificateContext(context); }
};
struct CertStoreTraits {
    static void Free(HCERTSTORE store) { CertCloseStore(store, 0); }
};
struct CryptMsgTraits {
    static void Free(HCRYPTMSG message) { CryptMsgClose(message); }
};

typedef Owner<HLOCAL, LocalTraits> LocalBuffer;
typedef Owner<PCCERT_CONTEXT, CertContextTraits> CertContext;
typedef Owner<HCERTSTORE, CertStoreTraits> CertStore;
typedef Owner<HCRYPTMSG, CryptMsgTraits> CryptMessage;

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

// The PKCS #9 counter-signer of the first counter-signature attribute, decoded.
bool FindCounterSigner(const CMSG_SIGNER_INFO& signer, LocalBuffer& counterSigner) {
    const CRYPT_ATTRIBUTE* attribute =
        FindFirstAttribute(signer.UnauthAttrs, szOID_RSA_counterSign);
    if (attribute == nullptr) {
        return false;
    }
    const CRYPT_ATTR_BLOB& value = attribute->rgValue[0];
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

// The counter-signer's signing time in local calendar fields.
bool ReadSigningTime(const CMSG_SIGNER_INFO& counterSigner, SYSTEMTIME& local) {
    const CRYPT_ATTRIBUTE* attribute =
        FindFirstAttribute(counterSigner.AuthAttrs, szOID_RSA_signingTime);
    if (attribute == nullptr) {
        return false;
    }
    const CRYPT_ATTR_BLOB& value = attribute->rgValue[0];
    FILETIME utc = {};
    DWORD size = sizeof(utc);
    if (!CryptDecodeObject(kEncoding, szOID_RSA_signingTime, value.pbData, value.cbData, 0, &utc,
                           &size)) {
        return false;
    }
    FILETIME localTime = {};
    // A time that cannot be converted, or written in 14 digits, is no time: the date
    // stays empty.
    return FileTimeToLocalFileTime(&utc, &localTime) && FileTimeToSystemTime(&localTime, &local) &&
           local.wYear <= kLastYear;
}

std::wstring FormatSignDate(const SYSTEMTIME& time) {
    wchar_t text[kDateChars] = {};
    swprintf_s(text, kDateChars, L"%04d%02d%02d%02d%02d%02d", time.wYear, time.wMonth, time.wDay,
               time.wHour, time.wMinute, time.wSecond);
    return text;
}

}  // namespace

bool ReadFileSigner(const wchar_t* path, FileSignerInfo& info) {
    if (path == nullptr) {
        return false;
    }
    CertStore store;
    CryptMessage message;
    if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, path, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                          CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, store.out(),
                          message.out(), nullptr)) {
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
    if (!FindCounterSigner(signer, counterSignerBuffer)) {
        return true;  // no usable counter-signature: no date
    }
    const CMSG_SIGNER_INFO& counterSigner = *As<CMSG_SIGNER_INFO>(counterSignerBuffer);
    const CertContext counterSignerCertificate = FindSignerCertificate(store.get(), counterSigner);
    if (!counterSignerCertificate) {
        return false;
    }
    SYSTEMTIME local = {};
    if (ReadSigningTime(counterSigner, local)) {
        info.signDate = FormatSignDate(local);
    }
    return true;
}
