// Puts certificates (PEM or DER files) into the machine's trusted roots (the
// LocalMachine "Root" store) of the Wine prefix it runs in; one already there is kept.
//   korva_trust_root.exe CERT...
// Exit status 0 when every certificate is there afterwards.

#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::vector<BYTE> ReadDer(const char* path) {
    std::ifstream in(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (text.find("-----BEGIN") == std::string::npos) {
        return std::vector<BYTE>(text.begin(), text.end());
    }
    DWORD size = 0;
    if (!CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()),
                              CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) {
        return {};
    }
    std::vector<BYTE> der(size);
    if (!CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()),
                              CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr)) {
        return {};
    }
    der.resize(size);
    return der;
}

}  // namespace

int main(int argc, char** argv) {
    HCERTSTORE root =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (root == nullptr) {
        std::fprintf(stderr, "trust-root: cannot open the Root store: %lu\n", GetLastError());
        return 1;
    }
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        const std::vector<BYTE> der = ReadDer(argv[i]);
        if (der.empty() || !CertAddEncodedCertificateToStore(
                               root, X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
                               CERT_STORE_ADD_USE_EXISTING, nullptr)) {
            std::fprintf(stderr, "trust-root: %s not added: %lu\n", argv[i], GetLastError());
            status = 1;
        }
    }
    CertCloseStore(root, 0);
    return status;
}
