#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "layer/WinTypes.h"

namespace layer {

// ---- Version resource of a file, read by its wide path and queried narrow.
//
// A file with a version resource is a PE image (layer::FileBytes): headers, one .rsrc
// section with RT_VERSION 1 in language 0409 holding a 32-bit VS_VERSIONINFO block, then
// the file's content. VerQueryValueA behaves as Wine's: it walks the caller's copy of the
// block trusting its lengths and writes its converted texts at the root's length beyond
// the block. Where the real call would read or write outside the buffer the system's size
// query makes (twice the root's length and 4), the layer records a bad call
// (layer::BadCalls) and fails instead.

struct VersionTranslation {
    WORD language = 0;
    WORD codePage = 0;
};

struct VersionResource {
    bool present = false;                          // without one, the image has no RT_VERSION
    std::vector<VersionTranslation> translations;  // the Translation value, in order
    int translationBytes = -1;  // >= 0: the Translation value is cut to this many bytes
    // String tables: "040904b0" (language and code page in hex) -> value name -> UTF-8 text.
    // VerQueryValueA hands the text out in the system code page.
    std::map<std::string, std::map<std::string, std::string>> stringTables;
    // Sub-block ("\\StringFileInfo\\040904b0\\CompanyName") -> error VerQueryValueA fails with.
    std::map<std::string, DWORD> queryErrors;
    DWORD readError = 0;  // a ReadFile that starts at the block fails with this code when not 0

    // What a crafted resource claims about itself (-1: the truth).
    int64_t dataSizeClaim = -1;        // the data entry's Size field
    int rootLength = -1;               // VS_VERSIONINFO's wLength
    int stringTableLength = -1;        // wLength of every string table
    bool unterminatedStrings = false;  // string values without their terminating zero

    // Adds a translation (once) and one string of its table.
    void SetString(WORD language, WORD codePage, const std::string& name,
                   const std::string& utf8Value);
};

// "\\StringFileInfo\\<lang><codepage>\\<name>" with four lower-case hex digits each.
std::string VersionStringPath(WORD language, WORD codePage, const std::string& name);
extern const char kTranslationPath[];  // "\\VarFileInfo\\Translation"

// ---- Embedded Authenticode signature, read through crypt32.

// The attributes of a certificate name that the name rules look at; "" when absent.
struct CertName {
    std::string email;         // 1.2.840.113549.1.9.1
    std::string commonName;    // 2.5.4.3
    std::string orgUnit;       // 2.5.4.11
    std::string organization;  // 2.5.4.10
};

struct Certificate {
    CertName subject;
    CertName issuer;
    std::string serial;  // bytes of the serial number
    // What a chain built from this certificate finds: a root the machine trusts or
    // not, and the last instant (FILETIME counts) it is valid at; 0: no end.
    bool trustedRoot = true;
    uint64_t notAfter = 0;
};

// An attribute of a signer: its identifier and its encoded values (see the Encode* helpers).
struct SignerAttribute {
    std::string oid;
    std::vector<std::string> values;
};

struct CounterSigner {
    Certificate certificate;
    std::vector<SignerAttribute> authenticated;  // carries the signing time
    std::string coveredDigest;  // the signer's encrypted digest this one was made over
};

struct Signature {
    bool present = false;  // an embedded PKCS #7 signature; false: unsigned or catalog-signed
    // WinVerifyTrust's answer for a present signature (TRUST_E_BAD_DIGEST for a file
    // changed after signing); an absent one answers TRUST_E_NOSIGNATURE.
    LONG trust = 0;
    WORD certificateType = 2;  // of the certificate table; 2: PKCS #7 signed data
    std::string encryptedDigest = "signer digest";
    Certificate signer;                            // always in the signature's store
    std::vector<SignerAttribute> unauthenticated;  // the signer's, in order
    std::vector<Certificate> otherCertificates;    // the rest of the store (TSA, CA, ...)
};

// Attribute values as the scripted CryptDecodeObject reads them.
std::string EncodeCounterSigner(const CounterSigner& counterSigner);
std::string EncodeSigningTime(uint64_t utcFileTime);
extern const char kUndecodableValue[];  // fails to decode as anything

// A signed file's signature: signer certificate issued by issuerCommonName.
Signature MakeSignature(const CertName& signerSubject, const std::string& issuerCommonName);
// Adds a PKCS #9 counter-signature by a TSA certificate with the signing time, made
// over the signature's encrypted digest; the TSA certificate goes into the store
// unless told otherwise.
void AddCounterSignature(Signature& signature, const std::string& tsaCommonName,
                         uint64_t utcSigningTime, bool tsaInStore = true);

// ---- Files

struct File {
    std::string content;
    uint64_t creationTime = 0;  // FILETIME counts (100 ns)
    uint64_t lastWriteTime = 0;
    bool isDirectory = false;
    DWORD openError = 0;  // opening fails with this code when not 0
    VersionResource version;
    Signature signature;
    int contentReads = 0;  // how often the file's bytes were read
    // What CFileUtil::GetChangeStamp gives: "" where the file system keeps no stamp; a
    // test that rewrites the file gives it a new one, as a change journal would.
    std::string changeStamp;
};

// The file's bytes as every reader sees them: the content, behind a PE image of the
// version resource when there is one.
std::string FileBytes(const File& file);
// Where the version block starts in FileBytes (0 without a version resource).
uint64_t VersionBlockOffset(const File& file);

}  // namespace layer
