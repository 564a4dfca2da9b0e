#pragma once

#include <string>

// What the embedded Authenticode signature of a file says about its signer.
struct FileSignerInfo {
    std::wstring signerName;  // subject name of the signing certificate
    std::wstring signDate;    // counter-signature time, 14 digits of local time, or empty
    std::wstring issuerName;  // display name of the signing certificate's issuer
};

// Reads the signature embedded in the file at path. True when the signing certificate
// was found and, if a counter-signature decodes, its certificate too; only then are
// signerName and signDate to be used. Writes no log.
bool ReadFileSigner(const wchar_t* path, FileSignerInfo& info);
