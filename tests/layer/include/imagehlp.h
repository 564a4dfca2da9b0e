#pragma once

// Stand-in for <imagehlp.h> in the native build: the header of a file's certificate
// table, from layer::Signature (present, certificateType).

#include <wintrust.h>

BOOL ImageGetCertificateHeader(HANDLE FileHandle, DWORD CertificateIndex,
                               LPWIN_CERTIFICATE Certificateheader);
