// Authenticode for the publisher: signing a built patcher with osslsigncode
// (the tool does not sign by itself), and reading back whom an existing
// signature names.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

#include "tools/tessel_pack/pe_layout.h"

struct SignRequest {
    std::string pfx;             // --sign-with: a PKCS#12 file
    std::string cert, key;       // --cert and --key: PEM or DER files (instead of a PFX)
    std::string pass;            // --pass: of the PFX or the key
    std::string timestamp;       // --timestamp: an RFC 3161 server's URL
    bool Wanted() const { return !pfx.empty() || !cert.empty(); }
};

// Signs in into out with `osslsigncode sign`, found on PATH. False with a
// one-line reason when osslsigncode is missing or fails (its last line of
// output is quoted).
bool SignWithOsslsigncode(const SignRequest& request, const std::string& in, const std::string& out,
                          std::string& reason);

struct SignatureInfo {
    bool present = false;      // a certificate table ends the file
    bool readable = false;     // it holds a PKCS#7 SignedData this reader could follow
    std::string signer;        // the signing certificate's subject CN (or whole subject when it has none)
    std::string issuer;        // that certificate's issuer CN
    std::string digestName;    // "SHA-256", "SHA-1", ... or the algorithm's OID
    bool digestChecked = false;  // SHA-256: recomputed over the file
    bool digestMatches = false;
    bool timestamped = false;  // a counter-signature or RFC 3161 time stamp is attached
};

// What the signature of a PE file says: who signed it and whether the file's
// Authenticode digest is still the signed one. It does not check the
// certificate chain or the signature's own cryptography: `osslsigncode
// verify` and Windows do that.
SignatureInfo ReadSignature(const std::string& file, const PeLayout& layout);

// Runs a program found on PATH with arguments (UTF-8), its standard output
// and error captured. started false when it could not be run at all.
struct ProgramRun {
    bool started = false;
    int exitCode = -1;
    std::string output;
};
ProgramRun RunProgram(const std::vector<std::string>& argv);
