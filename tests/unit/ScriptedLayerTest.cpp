// The scripted layer itself: what it refuses. No module code runs here.

#include <wincrypt.h>

#include <functional>
#include <string>

#include "host/RynUtil.h"
#include "support/LayerTest.h"

namespace {

const char kApp[] = "C:\\Program Files\\Korva\\app.exe";
const wchar_t kAppWide[] = L"C:\\Program Files\\Korva\\app.exe";

class ScriptedLayerTest : public LayerTest {};

// The machine refuses calls that Windows would answer otherwise than its model does
// (the fixture then fails the test): a wrong flag in the module cannot pass unseen.
// Blocks Windows leaves uninitialised hold a pattern, not the zeroes malloc may give.
TEST_F(ScriptedLayerTest, RefusesCallsItDoesNotModel) {
    layer::File& file = layer::machine().files[kApp];
    file.content = "MZ";
    file.signature = layer::MakeSignature({"", "Korva Test Signer", "", ""}, "Korva Test CA");
    HCERTSTORE store = nullptr;
    HCRYPTMSG message = nullptr;
    ASSERT_TRUE(CryptQueryObject(
        CERT_QUERY_OBJECT_FILE, kAppWide, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
        CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, &store, &message, nullptr));
    const BYTE encoded[] = {0x30, 0x00};
    DWORD size = 0;
    CERT_INFO subject = {};
    struct Case {
        const char* refused;  // the start of the recorded refusal
        std::function<void()> call;
    };
    const Case cases[] = {
        {"LocalAlloc: flags 0x0",
         [] {
             unsigned char* block = static_cast<unsigned char*>(LocalAlloc(LMEM_FIXED, 2));
             ASSERT_NE(block, nullptr);
             EXPECT_EQ(block[0] + block[1], 2 * 0xCD);
             LocalFree(block);
         }},
        {"LocalAlloc: flags 0x42",
         [] { EXPECT_EQ(LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, 2), nullptr); }},
        {"HeapAlloc: flags 0x8",
         [] { HeapFree(GetProcessHeap(), 0, HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 2)); }},
        {"HeapFree: flags 0x1",  // HEAP_NO_SERIALIZE
         [] { HeapFree(GetProcessHeap(), 1, HeapAlloc(GetProcessHeap(), 0, 2)); }},
        {"CryptQueryObject: content flags 0x500",  // a detached signature too
         [] {
             EXPECT_FALSE(CryptQueryObject(
                 CERT_QUERY_OBJECT_FILE, kAppWide,
                 CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED | CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED,
                 CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
                 nullptr));
         }},
        {"CryptQueryObject: format flags 0x6",  // Base64 text too
         [] {
             EXPECT_FALSE(CryptQueryObject(CERT_QUERY_OBJECT_FILE, kAppWide,
                                           CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED, 6, 0,
                                           nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
         }},
        {"CryptQueryObject: flags 0x1",
         [] {
             EXPECT_FALSE(CryptQueryObject(CERT_QUERY_OBJECT_FILE, kAppWide,
                                           CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                                           CERT_QUERY_FORMAT_FLAG_BINARY, 1, nullptr, nullptr,
                                           nullptr, nullptr, nullptr, nullptr));
         }},
        {"CryptMsgGetParam: parameter type 0x5",  // the signer count
         [&] { EXPECT_FALSE(CryptMsgGetParam(message, 5, 0, nullptr, &size)); }},
        {"CertFindCertificateInStore: encoding 0x1,",
         [&] {
             EXPECT_EQ(CertFindCertificateInStore(store, X509_ASN_ENCODING, 0,
                                                  CERT_FIND_SUBJECT_CERT, &subject, nullptr),
                       nullptr);
         }},
        {"CertGetNameStringW: type 0x2,",
         [] {
             EXPECT_EQ(CertGetNameStringW(nullptr, CERT_NAME_RDN_TYPE, 0, nullptr, nullptr, 0), 0u);
         }},
        {"CertGetNameStringW: type 0x4, flags 0x10000",  // no UTF-8 decoding
         [] {
             EXPECT_EQ(CertGetNameStringW(nullptr, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0x10000, nullptr,
                                          nullptr, 0),
                       0u);
         }},
        {"CryptDecodeObject: encoding 0x10000",
         [&] {
             EXPECT_FALSE(CryptDecodeObject(PKCS_7_ASN_ENCODING, PKCS7_SIGNER_INFO, encoded,
                                            sizeof(encoded), 0, nullptr, &size));
         }},
        {"CryptDecodeObject: structure 2.5.29.17",
         [&] {
             EXPECT_FALSE(CryptDecodeObject(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, "2.5.29.17",
                                            encoded, sizeof(encoded), 0, nullptr, &size));
         }},
        {"CryptDecodeObject: flags 0x8000",  // the decoder would allocate the result
         [&] {
             EXPECT_FALSE(CryptDecodeObject(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                            PKCS7_SIGNER_INFO, encoded, sizeof(encoded), 0x8000,
                                            nullptr, &size));
         }},
        {"CFileCom::open: flag 2",
         [] { EXPECT_FALSE(ryn::CFileCom(kApp).open(static_cast<ryn::FileComOpenFlag>(2))); }},
        {"CertCloseStore: flags 0x2",  // CERT_CLOSE_STORE_CHECK_FLAG
         [&] { CertCloseStore(store, 2); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.refused);
        c.call();
        const std::vector<std::string> refused = layer::TakeBadCalls();
        ASSERT_EQ(refused.size(), 1u);
        EXPECT_EQ(refused[0].rfind(c.refused, 0), 0u) << refused[0];
    }
    CryptMsgClose(message);
    // Blocks of the module's own flags: heap blocks hold the pattern, LPTR blocks zeroes.
    unsigned char* heap = static_cast<unsigned char*>(HeapAlloc(GetProcessHeap(), 0, 1));
    unsigned char* local = static_cast<unsigned char*>(LocalAlloc(LPTR, 1));
    EXPECT_EQ(heap[0], 0xCD);
    EXPECT_EQ(local[0], 0);
    HeapFree(GetProcessHeap(), 0, heap);
    LocalFree(local);
}

}  // namespace
