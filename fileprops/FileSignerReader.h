#pragma once

#include <cstdint>
#include <string>

// What the embedded Authenticode signature of a file says about its signer.
struct FileSignerInfo {
    std::wstring signerName;  // subject name of the signing certificate
    std::wstring signDate;    // counter-signature time, 14 digits of local time, or empty
    std::wstring issuerName;  // display name of the signing certificate's issuer
    // Why a signature the file carries was not accepted: the verification's answer or
    // the chain policy's error. 0 when it was accepted or the file carries none.
    uint32_t verifyError = 0;
};

// Reads the signature embedded in the file at path. True only when the system's
// Authenticode verification accepts the file, the signer's chain ends in a root the
// machine trusts, the signing certificate was found and, if a counter-signature
// decodes, its certificate too; only then are signerName and signDate to be used.
// signDate is set only for a counter-signature that verifies over this signature, by
// a certificate that chains to a trusted root; its time is then the instant the
// signer's chain is judged at, otherwise the chain is judged now. Nothing is fetched
// from the network. Writes no log.
bool ReadFileSigner(const wchar_t* path, FileSignerInfo& info);
