// crypt32 of the scripted machine: the calls that read an embedded Authenticode
// signature and judge its chains, over layer::File::signature. Stores, messages,
// certificate contexts and chains are counted ("certStore", "cryptMsg",
// "certContext", "certChain") so tests can assert balance.

#include <wincrypt.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <mutex>

#include "LayerState.h"
#include "layer/Machine.h"

namespace {

// Attribute values of the scripted signatures: a tag, then length-prefixed fields.
const char kCounterSignerMagic[] = "KCS1";
const char kSigningTimeMagic[] = "KTIM";
const char kEncodedSignerMagic[] = "KSG1";
constexpr size_t kMagicBytes = 4;

void PutU32(std::string& out, uint32_t value) {
    out.append(reinterpret_cast<const char*>(&value), sizeof(value));
}

void PutText(std::string& out, const std::string& text) {
    PutU32(out, static_cast<uint32_t>(text.size()));
    out += text;
}

// The bytes that stand for a certificate name in the blobs: one fixed text per name.
std::string NameBlob(const layer::CertName& name) {
    return "E=" + name.email + ";CN=" + name.commonName + ";OU=" + name.orgUnit +
           ";O=" + name.organization;
}

}  // namespace

namespace layer {

const char kUndecodableValue[] = "\x30\x03garbage";

std::string EncodeCounterSigner(const CounterSigner& counterSigner) {
    std::string out(kCounterSignerMagic, kMagicBytes);
    PutText(out, NameBlob(counterSigner.certificate.issuer));
    PutText(out, counterSigner.certificate.serial);
    PutText(out, counterSigner.coveredDigest);
    PutU32(out, static_cast<uint32_t>(counterSigner.authenticated.size()));
    for (const SignerAttribute& attribute : counterSigner.authenticated) {
        PutText(out, attribute.oid);
        PutU32(out, static_cast<uint32_t>(attribute.values.size()));
        for (const std::string& value : attribute.values) {
            PutText(out, value);
        }
    }
    return out;
}

std::string EncodeSigningTime(uint64_t utcFileTime) {
    std::string out(kSigningTimeMagic, kMagicBytes);
    out.append(reinterpret_cast<const char*>(&utcFileTime), sizeof(utcFileTime));
    return out;
}

Signature MakeSignature(const CertName& signerSubject, const std::string& issuerCommonName) {
    Signature signature;
    signature.present = true;
    signature.signer.subject = signerSubject;
    signature.signer.issuer.commonName = issuerCommonName;
    signature.signer.serial = std::string("\x01\x02\x03", 3);
    return signature;
}

void AddCounterSignature(Signature& signature, const std::string& tsaCommonName,
                         uint64_t utcSigningTime, bool tsaInStore) {
    CounterSigner tsa;
    tsa.certificate.subject.commonName = tsaCommonName;
    tsa.certificate.issuer.commonName = tsaCommonName + " Root";
    tsa.certificate.serial = std::string("\x0A\x0B", 2);
    tsa.coveredDigest = signature.encryptedDigest;
    tsa.authenticated.push_back(SignerAttribute{"1.2.840.113549.1.9.3", {"data"}});
    tsa.authenticated.push_back(
        SignerAttribute{szOID_RSA_signingTime, {EncodeSigningTime(utcSigningTime)}});
    signature.unauthenticated.push_back(
        SignerAttribute{szOID_RSA_counterSign, {EncodeCounterSigner(tsa)}});
    if (tsaInStore) {
        signature.otherCertificates.push_back(tsa.certificate);
    }
}

}  // namespace layer

namespace {

const DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// What a signer information holds, before it is laid out flat.
struct SignerModel {
    std::string issuerBlob;
    std::string serial;
    std::string encryptedDigest;  // for a counter-signer: the digest it covers
    std::vector<layer::SignerAttribute> authenticated;
    std::vector<layer::SignerAttribute> unauthenticated;
};

struct StoreObject {
    std::vector<layer::Certificate> certificates;
};

struct MessageObject {
    SignerModel signer;
};

struct CertObject {
    CERT_CONTEXT context;
    CERT_INFO info;
    layer::Certificate model;
    std::string issuerBlob;
    std::string subjectBlob;
};

struct Objects {
    std::mutex mutex;
    std::map<const void*, std::unique_ptr<StoreObject>> stores;
    std::map<const void*, std::unique_ptr<MessageObject>> messages;
    std::map<const void*, std::unique_ptr<CertObject>> certs;
    std::map<const void*, std::unique_ptr<CERT_CHAIN_CONTEXT>> chains;
};

Objects& objects() {
    static Objects o;
    return o;
}

bool ScriptedFailure(const char* call) {
    DWORD error = 0;
    if (layer::ShouldFail(call, &error)) {
        layer::FailWith(error);
        return true;
    }
    return false;
}

BOOL Fail(DWORD error) {
    layer::FailWith(error);
    return FALSE;
}

// A call whose arguments the double does not model the way Windows answers them:
// recorded for the fixture, and failed.
BOOL Refuse(const char* call, const std::string& why) {
    layer::BadCall(call, why);
    return Fail(static_cast<DWORD>(E_INVALIDARG));
}

// Lays a CMSG_SIGNER_INFO and everything it points to out in one buffer, as crypt32
// does. With a null base it only measures.
class FlatLayout {
  public:
    explicit FlatLayout(BYTE* base) : m_base(base) {}

    size_t used() const { return m_used; }

    BYTE* Take(size_t bytes, size_t alignment) {
        m_used = (m_used + alignment - 1) / alignment * alignment;
        BYTE* at = m_base != nullptr ? m_base + m_used : nullptr;
        m_used += bytes;
        return at;
    }

    CRYPT_DATA_BLOB Blob(const std::string& bytes) {
        BYTE* at = Take(bytes.size(), 1);
        if (at != nullptr) {
            std::memcpy(at, bytes.data(), bytes.size());
        }
        return CRYPT_DATA_BLOB{static_cast<DWORD>(bytes.size()), bytes.empty() ? nullptr : at};
    }

    CRYPT_ATTRIBUTES Attributes(const std::vector<layer::SignerAttribute>& attributes) {
        CRYPT_ATTRIBUTE* array = reinterpret_cast<CRYPT_ATTRIBUTE*>(
            Take(attributes.size() * sizeof(CRYPT_ATTRIBUTE), alignof(CRYPT_ATTRIBUTE)));
        for (size_t i = 0; i < attributes.size(); ++i) {
            const layer::SignerAttribute& attribute = attributes[i];
            char* oid = reinterpret_cast<char*>(Take(attribute.oid.size() + 1, 1));
            CRYPT_ATTR_BLOB* values = reinterpret_cast<CRYPT_ATTR_BLOB*>(
                Take(attribute.values.size() * sizeof(CRYPT_ATTR_BLOB), alignof(CRYPT_ATTR_BLOB)));
            for (size_t k = 0; k < attribute.values.size(); ++k) {
                const CRYPT_ATTR_BLOB value = Blob(attribute.values[k]);
                if (values != nullptr) {
                    values[k] = value;
                }
            }
            if (array != nullptr) {
                std::memcpy(oid, attribute.oid.c_str(), attribute.oid.size() + 1);
                array[i].pszObjId = oid;
                array[i].cValue = static_cast<DWORD>(attribute.values.size());
                array[i].rgValue = attribute.values.empty() ? nullptr : values;
            }
        }
        return CRYPT_ATTRIBUTES{static_cast<DWORD>(attributes.size()),
                                attributes.empty() ? nullptr : array};
    }

  private:
    BYTE* m_base;
    size_t m_used = 0;
};

size_t LayOutSignerInfo(const SignerModel& model, BYTE* base) {
    FlatLayout layout(base);
    CMSG_SIGNER_INFO* info = reinterpret_cast<CMSG_SIGNER_INFO*>(
        layout.Take(sizeof(CMSG_SIGNER_INFO), alignof(CMSG_SIGNER_INFO)));
    const CERT_NAME_BLOB issuer = layout.Blob(model.issuerBlob);
    const CRYPT_INTEGER_BLOB serial = layout.Blob(model.serial);
    const CRYPT_DATA_BLOB digest = layout.Blob(model.encryptedDigest);
    const CRYPT_ATTRIBUTES authenticated = layout.Attributes(model.authenticated);
    const CRYPT_ATTRIBUTES unauthenticated = layout.Attributes(model.unauthenticated);
    if (info != nullptr) {
        std::memset(info, 0, sizeof(*info));
        info->dwVersion = 1;
        info->Issuer = issuer;
        info->SerialNumber = serial;
        info->EncryptedHash = digest;
        info->AuthAttrs = authenticated;
        info->UnauthAttrs = unauthenticated;
    }
    return layout.used();
}

// Size query and copy of a variable-size result, with crypt32's rules.
BOOL CopyOut(const SignerModel& model, void* out, DWORD* size) {
    const size_t needed = LayOutSignerInfo(model, nullptr);
    if (size == nullptr) {
        return Fail(static_cast<DWORD>(E_INVALIDARG));
    }
    if (out == nullptr) {
        *size = static_cast<DWORD>(needed);
        return TRUE;
    }
    if (*size < needed) {
        *size = static_cast<DWORD>(needed);
        return Fail(ERROR_MORE_DATA);
    }
    LayOutSignerInfo(model, static_cast<BYTE*>(out));
    *size = static_cast<DWORD>(needed);
    return TRUE;
}

// Reads what EncodeCounterSigner wrote; false for anything else.
class Reader {
  public:
    Reader(const BYTE* data, DWORD size) : m_data(data), m_size(size) {}

    bool Magic(const char* magic) {
        return Bytes(kMagicBytes) &&
               std::memcmp(m_data + m_at - kMagicBytes, magic, kMagicBytes) == 0;
    }
    bool U32(uint32_t* value) {
        if (!Bytes(sizeof(*value))) return false;
        std::memcpy(value, m_data + m_at - sizeof(*value), sizeof(*value));
        return true;
    }
    bool Text(std::string* text) {
        uint32_t length = 0;
        if (!U32(&length) || !Bytes(length)) return false;
        text->assign(reinterpret_cast<const char*>(m_data + m_at - length), length);
        return true;
    }
    bool Done() const { return m_at == m_size; }

  private:
    bool Bytes(size_t count) {
        if (m_data == nullptr || count > m_size - m_at) return false;
        m_at += count;
        return true;
    }

    const BYTE* m_data;
    size_t m_size;
    size_t m_at = 0;
};

BOOL CopyBytes(const std::string& bytes, void* out, DWORD* size) {
    if (size == nullptr) {
        return Fail(static_cast<DWORD>(E_INVALIDARG));
    }
    if (out != nullptr && *size < bytes.size()) {
        *size = static_cast<DWORD>(bytes.size());
        return Fail(ERROR_MORE_DATA);
    }
    if (out != nullptr) {
        std::memcpy(out, bytes.data(), bytes.size());
    }
    *size = static_cast<DWORD>(bytes.size());
    return TRUE;
}

bool DecodeCounterSigner(const BYTE* data, DWORD size, SignerModel* model) {
    Reader reader(data, size);
    uint32_t count = 0;
    if (!reader.Magic(kCounterSignerMagic) || !reader.Text(&model->issuerBlob) ||
        !reader.Text(&model->serial) || !reader.Text(&model->encryptedDigest) ||
        !reader.U32(&count)) {
        return false;
    }
    for (uint32_t i = 0; i < count; ++i) {
        layer::SignerAttribute attribute;
        uint32_t values = 0;
        if (!reader.Text(&attribute.oid) || !reader.U32(&values)) return false;
        attribute.values.resize(values);
        for (std::string& value : attribute.values) {
            if (!reader.Text(&value)) return false;
        }
        model->authenticated.push_back(attribute);
    }
    return reader.Done();
}

}  // namespace

// ---- The calls

BOOL CryptQueryObject(DWORD dwObjectType, const void* pvObject, DWORD dwExpectedContentTypeFlags,
                      DWORD dwExpectedFormatTypeFlags, DWORD dwFlags,
                      DWORD* pdwMsgAndCertEncodingType, DWORD* pdwContentType, DWORD* pdwFormatType,
                      HCERTSTORE* phCertStore, HCRYPTMSG* phMsg, const void** ppvContext) {
    // Only a file's embedded, DER-encoded signature is modelled; wider flags would
    // let Windows accept catalogs, certificates or Base64 text as well.
    if (dwObjectType != CERT_QUERY_OBJECT_FILE) {
        return Refuse("CryptQueryObject", "object type " + layer::Hex(dwObjectType));
    }
    if (dwExpectedContentTypeFlags != CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED) {
        return Refuse("CryptQueryObject",
                      "content flags " + layer::Hex(dwExpectedContentTypeFlags));
    }
    if (dwExpectedFormatTypeFlags != CERT_QUERY_FORMAT_FLAG_BINARY) {
        return Refuse("CryptQueryObject", "format flags " + layer::Hex(dwExpectedFormatTypeFlags));
    }
    if (dwFlags != 0) {
        return Refuse("CryptQueryObject", "flags " + layer::Hex(dwFlags));
    }
    if (ScriptedFailure("CryptQueryObject")) {
        return FALSE;
    }
    if (pvObject == nullptr) {
        return Fail(static_cast<DWORD>(E_INVALIDARG));
    }
    layer::File* file =
        layer::machine().FindFile(layer::WideToUtf8(static_cast<const wchar_t*>(pvObject)));
    if (file == nullptr || file->isDirectory) {
        return Fail(ERROR_FILE_NOT_FOUND);
    }
    if (file->openError != 0) {
        return Fail(file->openError);
    }
    ++file->contentReads;
    const layer::Signature& signature = file->signature;
    if (!signature.present) {
        return Fail(CRYPT_E_NO_MATCH);
    }
    if (pdwMsgAndCertEncodingType != nullptr) *pdwMsgAndCertEncodingType = kEncoding;
    if (pdwContentType != nullptr) *pdwContentType = CERT_QUERY_CONTENT_PKCS7_SIGNED_EMBED;
    if (pdwFormatType != nullptr) *pdwFormatType = CERT_QUERY_FORMAT_BINARY;
    if (ppvContext != nullptr) *ppvContext = nullptr;
    std::lock_guard<std::mutex> lock(objects().mutex);
    if (phCertStore != nullptr) {
        auto store = std::make_unique<StoreObject>();
        store->certificates.push_back(signature.signer);
        store->certificates.insert(store->certificates.end(), signature.otherCertificates.begin(),
                                   signature.otherCertificates.end());
        *phCertStore = store.get();
        objects().stores[store.get()] = std::move(store);
        layer::Acquire("certStore");
    }
    if (phMsg != nullptr) {
        auto message = std::make_unique<MessageObject>();
        message->signer.issuerBlob = NameBlob(signature.signer.issuer);
        message->signer.serial = signature.signer.serial;
        message->signer.encryptedDigest = signature.encryptedDigest;
        message->signer.authenticated.push_back(
            layer::SignerAttribute{"1.2.840.113549.1.9.3", {"data"}});
        message->signer.unauthenticated = signature.unauthenticated;
        *phMsg = message.get();
        objects().messages[message.get()] = std::move(message);
        layer::Acquire("cryptMsg");
    }
    return TRUE;
}

BOOL CryptMsgGetParam(HCRYPTMSG hCryptMsg, DWORD dwParamType, DWORD dwIndex, void* pvData,
                      DWORD* pcbData) {
    if (dwParamType != CMSG_SIGNER_INFO_PARAM && dwParamType != CMSG_ENCODED_SIGNER) {
        return Refuse("CryptMsgGetParam", "parameter type " + layer::Hex(dwParamType));
    }
    if (ScriptedFailure("CryptMsgGetParam")) {
        return FALSE;
    }
    SignerModel signer;
    {
        std::lock_guard<std::mutex> lock(objects().mutex);
        auto it = objects().messages.find(hCryptMsg);
        if (it == objects().messages.end()) {
            return Fail(static_cast<DWORD>(E_INVALIDARG));
        }
        signer = it->second->signer;
    }
    if (dwIndex != 0) {
        return Fail(static_cast<DWORD>(0x80091008));  // CRYPT_E_INVALID_INDEX: one signer only
    }
    if (dwParamType == CMSG_ENCODED_SIGNER) {
        std::string encoded(kEncodedSignerMagic, kMagicBytes);
        PutText(encoded, signer.encryptedDigest);
        return CopyBytes(encoded, pvData, pcbData);
    }
    return CopyOut(signer, pvData, pcbData);
}

BOOL CryptMsgClose(HCRYPTMSG hCryptMsg) {
    if (hCryptMsg == nullptr) {
        return TRUE;
    }
    std::lock_guard<std::mutex> lock(objects().mutex);
    if (objects().messages.erase(hCryptMsg) == 0) {
        layer::BadRelease("CryptMsgClose");
        return Fail(static_cast<DWORD>(E_INVALIDARG));
    }
    layer::Release("cryptMsg");
    return TRUE;
}

PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                          DWORD dwFindFlags, DWORD dwFindType,
                                          const void* pvFindPara, PCCERT_CONTEXT pPrevCertContext) {
    // Only the first match of a subject search is modelled: no enumeration, no flags.
    if (dwCertEncodingType != kEncoding || dwFindFlags != 0 ||
        dwFindType != CERT_FIND_SUBJECT_CERT || pvFindPara == nullptr ||
        pPrevCertContext != nullptr) {
        Refuse("CertFindCertificateInStore",
               "encoding " + layer::Hex(dwCertEncodingType) + ", flags " + layer::Hex(dwFindFlags) +
                   ", type " + layer::Hex(dwFindType) +
                   (pvFindPara == nullptr ? ", no subject" : "") +
                   (pPrevCertContext != nullptr ? ", a previous context" : ""));
        return nullptr;
    }
    if (ScriptedFailure("CertFindCertificateInStore")) {
        return nullptr;
    }
    const CERT_INFO* wanted = static_cast<const CERT_INFO*>(pvFindPara);
    std::lock_guard<std::mutex> lock(objects().mutex);
    auto store = objects().stores.find(hCertStore);
    if (store == objects().stores.end()) {
        layer::FailWith(static_cast<DWORD>(E_INVALIDARG));
        return nullptr;
    }
    const std::string issuer(reinterpret_cast<const char*>(wanted->Issuer.pbData),
                             wanted->Issuer.cbData);
    const std::string serial(reinterpret_cast<const char*>(wanted->SerialNumber.pbData),
                             wanted->SerialNumber.cbData);
    for (const layer::Certificate& certificate : store->second->certificates) {
        if (NameBlob(certificate.issuer) != issuer || certificate.serial != serial) {
            continue;
        }
        auto cert = std::make_unique<CertObject>();
        CertObject& object = *cert;
        object.model = certificate;
        object.issuerBlob = NameBlob(certificate.issuer);
        object.subjectBlob = NameBlob(certificate.subject);
        std::memset(&object.info, 0, sizeof(object.info));
        object.info.dwVersion = 2;
        object.info.SerialNumber = {static_cast<DWORD>(object.model.serial.size()),
                                    reinterpret_cast<BYTE*>(&object.model.serial[0])};
        object.info.Issuer = {static_cast<DWORD>(object.issuerBlob.size()),
                              reinterpret_cast<BYTE*>(&object.issuerBlob[0])};
        object.info.Subject = {static_cast<DWORD>(object.subjectBlob.size()),
                               reinterpret_cast<BYTE*>(&object.subjectBlob[0])};
        object.context = CERT_CONTEXT{kEncoding, nullptr, 0, &object.info, hCertStore};
        const CERT_CONTEXT* context = &object.context;
        objects().certs[context] = std::move(cert);
        layer::Acquire("certContext");
        return context;
    }
    layer::FailWith(CRYPT_E_NOT_FOUND);
    return nullptr;
}

BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext) {
    if (pCertContext == nullptr) {
        return TRUE;
    }
    std::lock_guard<std::mutex> lock(objects().mutex);
    if (objects().certs.erase(pCertContext) == 0) {
        layer::BadRelease("CertFreeCertificateContext");
        return TRUE;
    }
    layer::Release("certContext");
    return TRUE;
}

BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags) {
    // With flags Windows checks for, or frees, contexts still in use.
    if (dwFlags != 0) {
        layer::BadCall("CertCloseStore", "flags " + layer::Hex(dwFlags));
    }
    if (hCertStore == nullptr) {
        return TRUE;
    }
    std::lock_guard<std::mutex> lock(objects().mutex);
    if (objects().stores.erase(hCertStore) == 0) {
        layer::BadRelease("CertCloseStore");
        return Fail(static_cast<DWORD>(E_INVALIDARG));
    }
    layer::Release("certStore");
    return TRUE;
}

namespace {

const std::string& FirstOf(std::initializer_list<const std::string*> candidates) {
    static const std::string kNone;
    for (const std::string* candidate : candidates) {
        if (!candidate->empty()) {
            return *candidate;
        }
    }
    return kNone;
}

// crypt32's choice of the attribute that names a certificate.
std::string PickName(const layer::CertName& name, DWORD type, const void* typePara) {
    switch (type) {
        case CERT_NAME_EMAIL_TYPE:
            return name.email;
        case CERT_NAME_SIMPLE_DISPLAY_TYPE:
        case CERT_NAME_FRIENDLY_DISPLAY_TYPE:
            return FirstOf({&name.commonName, &name.orgUnit, &name.organization, &name.email});
        case CERT_NAME_ATTR_TYPE: {
            if (typePara == nullptr) {
                // Without an identifier Windows takes the first of these that is present.
                return FirstOf({&name.email, &name.commonName, &name.orgUnit, &name.organization});
            }
            const std::string oid = static_cast<const char*>(typePara);
            return oid == szOID_RSA_emailAddr              ? name.email
                   : oid == szOID_COMMON_NAME              ? name.commonName
                   : oid == szOID_ORGANIZATIONAL_UNIT_NAME ? name.orgUnit
                   : oid == szOID_ORGANIZATION_NAME        ? name.organization
                                                           : std::string();
        }
        default:
            return std::string();
    }
}

}  // namespace

DWORD CertGetNameStringW(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags, void* pvTypePara,
                         LPWSTR pszNameString, DWORD cchNameString) {
    // PickName knows these name types; other types and flags change what Windows gives.
    const bool knownType =
        dwType == CERT_NAME_EMAIL_TYPE || dwType == CERT_NAME_SIMPLE_DISPLAY_TYPE ||
        dwType == CERT_NAME_FRIENDLY_DISPLAY_TYPE || dwType == CERT_NAME_ATTR_TYPE;
    if (!knownType || (dwFlags & ~static_cast<DWORD>(CERT_NAME_ISSUER_FLAG)) != 0) {
        Refuse("CertGetNameStringW",
               "type " + layer::Hex(dwType) + ", flags " + layer::Hex(dwFlags));
        return 0;
    }
    if (ScriptedFailure("CertGetNameStringW")) {
        return 0;
    }
    std::wstring name;
    {
        std::lock_guard<std::mutex> lock(objects().mutex);
        auto it = objects().certs.find(pCertContext);
        if (it == objects().certs.end()) {
            layer::FailWith(static_cast<DWORD>(E_INVALIDARG));
            return 0;
        }
        const layer::Certificate& certificate = it->second->model;
        const layer::CertName& which =
            (dwFlags & CERT_NAME_ISSUER_FLAG) ? certificate.issuer : certificate.subject;
        name = layer::Utf8ToWide(PickName(which, dwType, pvTypePara));
    }
    // The count includes the terminating zero; no name at all is an empty string (count 1).
    if (pszNameString == nullptr || cchNameString == 0) {
        return static_cast<DWORD>(name.size() + 1);
    }
    const size_t copied = std::min<size_t>(name.size(), cchNameString - 1);
    std::wmemcpy(pszNameString, name.data(), copied);
    pszNameString[copied] = L'\0';
    return static_cast<DWORD>(copied + 1);
}

BOOL CryptDecodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType, const BYTE* pbEncoded,
                       DWORD cbEncoded, DWORD dwFlags, void* pvStructInfo, DWORD* pcbStructInfo) {
    // Two structures are modelled, in the signature's encoding, without decoding flags
    // (which would change the layout or the checks of the result).
    const bool isOid = reinterpret_cast<uintptr_t>(lpszStructType) > 0xFFFF;
    const bool signerInfo = lpszStructType == PKCS7_SIGNER_INFO;
    const bool signingTime = isOid && std::strcmp(lpszStructType, szOID_RSA_signingTime) == 0;
    if (dwCertEncodingType != kEncoding) {
        return Refuse("CryptDecodeObject", "encoding " + layer::Hex(dwCertEncodingType));
    }
    if (!signerInfo && !signingTime) {
        return Refuse(
            "CryptDecodeObject",
            "structure " + (isOid ? std::string(lpszStructType)
                                  : layer::Hex(reinterpret_cast<uintptr_t>(lpszStructType))));
    }
    if (dwFlags != 0) {
        return Refuse("CryptDecodeObject", "flags " + layer::Hex(dwFlags));
    }
    if (ScriptedFailure("CryptDecodeObject")) {
        return FALSE;
    }
    if (signerInfo) {
        SignerModel model;
        if (!DecodeCounterSigner(pbEncoded, cbEncoded, &model)) {
            return Fail(CRYPT_E_ASN1_BADTAG);
        }
        return CopyOut(model, pvStructInfo, pcbStructInfo);
    }
    Reader reader(pbEncoded, cbEncoded);
    uint64_t fileTime = 0;
    uint32_t low = 0;
    uint32_t high = 0;
    if (!reader.Magic(kSigningTimeMagic) || !reader.U32(&low) || !reader.U32(&high) ||
        !reader.Done()) {
        return Fail(CRYPT_E_ASN1_BADTAG);
    }
    fileTime = (static_cast<uint64_t>(high) << 32) | low;
    if (pcbStructInfo == nullptr) {
        return Fail(static_cast<DWORD>(E_INVALIDARG));
    }
    const DWORD needed = sizeof(FILETIME);
    if (pvStructInfo == nullptr) {
        *pcbStructInfo = needed;
        return TRUE;
    }
    if (*pcbStructInfo < needed) {
        *pcbStructInfo = needed;
        return Fail(ERROR_MORE_DATA);
    }
    FILETIME* out = static_cast<FILETIME*>(pvStructInfo);
    out->dwLowDateTime = static_cast<DWORD>(fileTime & 0xFFFFFFFFu);
    out->dwHighDateTime = static_cast<DWORD>(fileTime >> 32);
    *pcbStructInfo = needed;
    return TRUE;
}

BOOL CryptMsgVerifyCountersignatureEncodedEx(HCRYPTPROV_LEGACY hCryptProv, DWORD dwEncodingType,
                                             PBYTE pbSignerInfo, DWORD cbSignerInfo,
                                             PBYTE pbSignerInfoCountersignature,
                                             DWORD cbSignerInfoCountersignature, DWORD dwSignerType,
                                             void* pvSigner, DWORD dwFlags, void* pvExtra) {
    // Only a check against the counter-signer's certificate, with the default provider.
    if (hCryptProv != 0 || dwEncodingType != kEncoding || dwSignerType != CMSG_VERIFY_SIGNER_CERT ||
        dwFlags != 0 || pvExtra != nullptr) {
        return Refuse("CryptMsgVerifyCountersignatureEncodedEx",
                      "provider " + layer::Hex(hCryptProv) + ", encoding " +
                          layer::Hex(dwEncodingType) + ", signer type " + layer::Hex(dwSignerType) +
                          ", flags " + layer::Hex(dwFlags));
    }
    if (ScriptedFailure("CryptMsgVerifyCountersignatureEncodedEx")) {
        return FALSE;
    }
    Reader signer(pbSignerInfo, cbSignerInfo);
    std::string digest;
    SignerModel counterSigner;
    if (!signer.Magic(kEncodedSignerMagic) || !signer.Text(&digest) || !signer.Done() ||
        !DecodeCounterSigner(pbSignerInfoCountersignature, cbSignerInfoCountersignature,
                             &counterSigner)) {
        return Fail(CRYPT_E_ASN1_BADTAG);
    }
    std::lock_guard<std::mutex> lock(objects().mutex);
    auto cert = objects().certs.find(pvSigner);
    if (cert == objects().certs.end()) {
        return Fail(static_cast<DWORD>(E_INVALIDARG));
    }
    // The key that made the counter-signature, over this signer's encrypted digest.
    const bool sameKey = cert->second->issuerBlob == counterSigner.issuerBlob &&
                         cert->second->model.serial == counterSigner.serial;
    if (!sameKey || counterSigner.encryptedDigest != digest) {
        return Fail(NTE_BAD_SIGNATURE);
    }
    return TRUE;
}

BOOL CertGetCertificateChain(HCERTCHAINENGINE hChainEngine, PCCERT_CONTEXT pCertContext,
                             LPFILETIME pTime, HCERTSTORE hAdditionalStore,
                             PCERT_CHAIN_PARA pChainPara, DWORD dwFlags, LPVOID pvReserved,
                             PCCERT_CHAIN_CONTEXT* ppChainContext) {
    // The default engine, no revocation and nothing fetched: other flags would let
    // Windows go to the network or check what the double does not model.
    if (hChainEngine != nullptr || dwFlags != CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL ||
        pvReserved != nullptr || pChainPara == nullptr ||
        pChainPara->cbSize != sizeof(CERT_CHAIN_PARA) ||
        pChainPara->RequestedUsage.Usage.cUsageIdentifier != 0) {
        return Refuse("CertGetCertificateChain",
                      "flags " + layer::Hex(dwFlags) +
                          (hChainEngine != nullptr ? ", an engine" : "") +
                          ", or parameters not modelled");
    }
    if (ScriptedFailure("CertGetCertificateChain")) {
        return FALSE;
    }
    if (ppChainContext == nullptr) {
        return Fail(static_cast<DWORD>(E_INVALIDARG));
    }
    *ppChainContext = nullptr;
    std::lock_guard<std::mutex> lock(objects().mutex);
    auto cert = objects().certs.find(pCertContext);
    if (cert == objects().certs.end() || objects().stores.count(hAdditionalStore) == 0) {
        return Fail(static_cast<DWORD>(E_INVALIDARG));
    }
    const layer::Certificate& model = cert->second->model;
    const uint64_t at = pTime != nullptr ? (static_cast<uint64_t>(pTime->dwHighDateTime) << 32) |
                                               pTime->dwLowDateTime
                                         : layer::machine().systemTime;
    auto chain = std::make_unique<CERT_CHAIN_CONTEXT>();
    chain->cbSize = sizeof(CERT_CHAIN_CONTEXT);
    chain->TrustStatus.dwErrorStatus =
        (model.trustedRoot ? 0 : CERT_TRUST_IS_UNTRUSTED_ROOT) |
        (model.notAfter != 0 && at > model.notAfter ? CERT_TRUST_IS_NOT_TIME_VALID : 0);
    *ppChainContext = chain.get();
    objects().chains[chain.get()] = std::move(chain);
    layer::Acquire("certChain");
    return TRUE;
}

void CertFreeCertificateChain(PCCERT_CHAIN_CONTEXT pChainContext) {
    std::lock_guard<std::mutex> lock(objects().mutex);
    if (objects().chains.erase(pChainContext) == 0) {
        layer::BadRelease("CertFreeCertificateChain");
        return;
    }
    layer::Release("certChain");
}

BOOL CertVerifyCertificateChainPolicy(LPCSTR pszPolicyOID, PCCERT_CHAIN_CONTEXT pChainContext,
                                      PCERT_CHAIN_POLICY_PARA pPolicyPara,
                                      PCERT_CHAIN_POLICY_STATUS pPolicyStatus) {
    // The base and Authenticode policies, without flags that would ignore an error.
    const bool modelled =
        pszPolicyOID == CERT_CHAIN_POLICY_BASE || pszPolicyOID == CERT_CHAIN_POLICY_AUTHENTICODE;
    if (!modelled || pPolicyPara == nullptr || pPolicyPara->dwFlags != 0 ||
        pPolicyPara->cbSize != sizeof(CERT_CHAIN_POLICY_PARA) || pPolicyStatus == nullptr ||
        pPolicyStatus->cbSize != sizeof(CERT_CHAIN_POLICY_STATUS)) {
        return Refuse("CertVerifyCertificateChainPolicy",
                      "policy " + layer::Hex(reinterpret_cast<uintptr_t>(pszPolicyOID)) +
                          " or parameters not modelled");
    }
    if (ScriptedFailure("CertVerifyCertificateChainPolicy")) {
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(objects().mutex);
    if (objects().chains.count(pChainContext) == 0) {
        return Fail(static_cast<DWORD>(E_INVALIDARG));
    }
    const DWORD status = pChainContext->TrustStatus.dwErrorStatus;
    pPolicyStatus->dwError = (status & CERT_TRUST_IS_UNTRUSTED_ROOT)   ? CERT_E_UNTRUSTEDROOT
                             : (status & CERT_TRUST_IS_NOT_TIME_VALID) ? CERT_E_EXPIRED
                                                                       : 0;
    return TRUE;
}
