#include "tools/tessel_pack/signing.h"

#include <stdio.h>
#include <string.h>

#include "tools/tessel_pack/file_io.h"
#include "tools/tessel_pack/sha256.h"
#include "tools/tessel_pack/utf8.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

// --- running osslsigncode ----------------------------------------------------

#ifdef _WIN32
// One argument as CommandLineToArgvW and the C runtime split it again:
// quoted, backslashes doubled only where they precede a quote.
static std::wstring QuoteArgument(const std::string& utf8) {
    const std::u16string units = Utf8ToUtf16(utf8);
    std::wstring out = L"\"";
    size_t slashes = 0;
    for (char16_t c : units) {
        if (c == u'\\') {
            ++slashes;
            continue;
        }
        out.append(c == u'"' ? 2 * slashes + 1 : slashes, L'\\');
        slashes = 0;
        out += static_cast<wchar_t>(c);
    }
    out.append(2 * slashes, L'\\');
    return out + L"\"";
}

ProgramRun RunProgram(const std::vector<std::string>& argv) {
    ProgramRun run;
    std::wstring line;
    for (const std::string& arg : argv) line += (line.empty() ? L"" : L" ") + QuoteArgument(arg);
    // The child writes into a temporary file the parent reads back: no pipe
    // to drain while it runs. The handle is inheritable for the child only.
    wchar_t folder[MAX_PATH], name[MAX_PATH];
    if (!GetTempPathW(MAX_PATH, folder) || !GetTempFileNameW(folder, L"tsl", 0, name)) return run;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE output = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (output == INVALID_HANDLE_VALUE) return run;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = output;
    startup.hStdError = output;
    PROCESS_INFORMATION process = {};
    std::vector<wchar_t> mutableLine(line.begin(), line.end());
    mutableLine.push_back(0);
    if (CreateProcessW(nullptr, mutableLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                       &startup, &process)) {
        run.started = true;
        WaitForSingleObject(process.hProcess, INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        run.exitCode = static_cast<int>(code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        SetFilePointer(output, 0, nullptr, FILE_BEGIN);
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(output, buffer, sizeof buffer, &got, nullptr) && got) run.output.append(buffer, got);
    }
    CloseHandle(output);
    return run;
}
#else
ProgramRun RunProgram(const std::vector<std::string>& argv) {
    ProgramRun run;
    char name[] = "/tmp/tessel-pack-run-XXXXXX";
    const int output = mkstemp(name);
    if (output < 0) return run;
    unlink(name);  // the descriptor keeps it until both sides close it
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output, 1);
    posix_spawn_file_actions_adddup2(&actions, output, 2);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t child = 0;
    if (posix_spawnp(&child, args[0], &actions, nullptr, args.data(), environ) == 0) {
        int status = 0;
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        // posix_spawnp may report a missing program only through the
        // child's exit status 127.
        run.started = !(WIFEXITED(status) && WEXITSTATUS(status) == 127);
        run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        lseek(output, 0, SEEK_SET);
        char buffer[4096];
        ssize_t got;
        while ((got = read(output, buffer, sizeof buffer)) > 0) run.output.append(buffer, static_cast<size_t>(got));
    }
    posix_spawn_file_actions_destroy(&actions);
    close(output);
    return run;
}
#endif

// osslsigncode's own words for a failure: its first line that is not a
// bare "Failed", a progress note or one of OpenSSL's ":error:" traces.
static std::string FailureLine(const std::string& output) {
    std::string fallback;
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        if (end == std::string::npos) end = output.size();
        std::string line = output.substr(start, end - start);
        start = end + 1;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (line.empty()) continue;
        if (fallback.empty()) fallback = line;
        if (line != "Failed" && line != "Succeeded" && line.compare(0, 11, "Connecting ") != 0 &&
            line.find(":error:") == std::string::npos)
            return line;
    }
    return fallback.empty() ? "no message" : fallback;
}

bool SignWithOsslsigncode(const SignRequest& request, const std::string& in, const std::string& out,
                          std::string& reason) {
    std::vector<std::string> argv = {"osslsigncode", "sign", "-h", "sha256"};
    if (!request.pfx.empty()) {
        argv.insert(argv.end(), {"-pkcs12", request.pfx});
    } else {
        argv.insert(argv.end(), {"-certs", request.cert, "-key", request.key});
    }
    if (!request.pass.empty()) argv.insert(argv.end(), {"-pass", request.pass});
    if (!request.timestamp.empty()) argv.insert(argv.end(), {"-ts", request.timestamp});
    argv.insert(argv.end(), {"-in", in, "-out", out});
    const ProgramRun run = RunProgram(argv);
    if (!run.started) {
        reason = "osslsigncode is not installed (or not on PATH): install it (Debian: apt install osslsigncode) or "
                 "build without signing and sign with signtool";
        return false;
    }
    if (run.exitCode != 0 || !IsRegularFile(out)) {
        reason = "osslsigncode could not sign (exit " + std::to_string(run.exitCode) + "): " + FailureLine(run.output);
        return false;
    }
    return true;
}

// --- reading a signature ------------------------------------------------------

namespace {

// One DER element: its tag, and its contents as [content, end).
struct Der {
    uint8_t tag = 0;
    const uint8_t* content = nullptr;
    const uint8_t* end = nullptr;
    const uint8_t* start = nullptr;  // the tag byte: for comparing whole elements
    bool ok = false;
    size_t Size() const { return static_cast<size_t>(end - content); }
    std::string Bytes() const { return std::string(reinterpret_cast<const char*>(start), end - start); }
};

// The element at p, which must lie inside [p, limit); p moves past it.
// Definite lengths only (DER), up to 4 length bytes.
Der Next(const uint8_t*& p, const uint8_t* limit) {
    Der d;
    if (!p || limit - p < 2) return d;
    d.start = p;
    d.tag = p[0];
    size_t length = p[1];
    const uint8_t* q = p + 2;
    if (length & 0x80) {
        const size_t count = length & 0x7F;
        if (count == 0 || count > 4 || static_cast<size_t>(limit - q) < count) return d;
        length = 0;
        for (size_t i = 0; i < count; ++i) length = length << 8 | *q++;
    }
    if (static_cast<size_t>(limit - q) < length) return d;
    d.content = q;
    d.end = q + length;
    d.ok = true;
    p = d.end;
    return d;
}

// The first element inside d.
Der Inside(const Der& d) {
    const uint8_t* p = d.content;
    return d.ok ? Next(p, d.end) : Der();
}

// The element after sibling, inside parent.
Der After(const Der& sibling, const Der& parent) {
    const uint8_t* p = sibling.end;
    return sibling.ok ? Next(p, parent.end) : Der();
}

bool IsOid(const Der& d, const char* encoded, size_t length) {
    return d.ok && d.tag == 0x06 && d.Size() == length && memcmp(d.content, encoded, length) == 0;
}

const char kSignedData[] = "\x2A\x86\x48\x86\xF7\x0D\x01\x07\x02";  // 1.2.840.113549.1.7.2
const char kCommonName[] = "\x55\x04\x03";                        // 2.5.4.3
const char kSha256[] = "\x60\x86\x48\x01\x65\x03\x04\x02\x01";      // 2.16.840.1.101.3.4.2.1
const char kSha1[] = "\x2B\x0E\x03\x02\x1A";                        // 1.3.14.3.2.26
const char kCounterSignature[] = "\x2A\x86\x48\x86\xF7\x0D\x01\x09\x06";       // 1.2.840.113549.1.9.6
const char kRfc3161Stamp[] = "\x2B\x06\x01\x04\x01\x82\x37\x03\x03\x01";     // 1.3.6.1.4.1.311.3.3.1

// A directory string as UTF-8: BMPString is UTF-16 big-endian; the others
// are taken as they are (UTF8String, PrintableString, IA5String).
std::string DirectoryString(const Der& value) {
    if (value.tag != 0x1E) return std::string(reinterpret_cast<const char*>(value.content), value.Size());
    std::u16string units;
    for (const uint8_t* p = value.content; p + 1 < value.end; p += 2) units += static_cast<char16_t>(p[0] << 8 | p[1]);
    return Utf16ToUtf8(units);
}

// The CN of an X.501 Name: SEQUENCE OF SET OF SEQUENCE {OID, value}.
std::string CommonName(const Der& name) {
    for (Der set = Inside(name); set.ok; set = After(set, name))
        for (Der pair = Inside(set); pair.ok; pair = After(pair, set)) {
            const Der type = Inside(pair);
            if (IsOid(type, kCommonName, 3)) return DirectoryString(After(type, pair));
        }
    return "";
}

// The certificate among certificates ([0] IMPLICIT SET OF Certificate)
// whose issuer and serial number are those the signer names. In a
// TBSCertificate, the version ([0]) is optional, then come the serial,
// the signature algorithm, the issuer, the validity and the subject.
bool FindCertificate(const Der& certificates, const Der& issuer, const Der& serial, Der* subject,
                     Der* certificateIssuer) {
    for (Der certificate = Inside(certificates); certificate.ok; certificate = After(certificate, certificates)) {
        const Der tbs = Inside(certificate);
        Der field = Inside(tbs);
        if (field.tag == 0xA0) field = After(field, tbs);
        const Der certSerial = field;
        const Der certIssuer = After(After(certSerial, tbs), tbs);
        const Der certSubject = After(After(certIssuer, tbs), tbs);
        if (!certSubject.ok || certSerial.Bytes() != serial.Bytes() || certIssuer.Bytes() != issuer.Bytes()) continue;
        *subject = certSubject;
        *certificateIssuer = certIssuer;
        return true;
    }
    return false;
}

bool Contains(const Der& d, const char* pattern, size_t length) {
    if (!d.ok) return false;
    const std::string bytes = d.Bytes();
    return bytes.find(std::string(pattern, length)) != std::string::npos;
}

// The Authenticode digest of the file: everything before the certificate
// table except the CheckSum field and the security directory entry, which
// signing changes.
std::string AuthenticodeSha256(const std::string& file, const PeLayout& layout) {
    std::string covered = file.substr(0, layout.securityTable);
    covered.erase(layout.securityEntry, 8);
    covered.erase(layout.checksumField, 4);  // the earlier field, after the later one: its offset still holds
    return Sha256Hex(covered);
}

std::string Hex(const Der& d) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (const uint8_t* p = d.content; p < d.end; ++p) {
        out += digits[*p >> 4];
        out += digits[*p & 15];
    }
    return out;
}

// SpcIndirectDataContent: {SpcAttributeTypeAndOptionalValue, DigestInfo
// {AlgorithmIdentifier, OCTET STRING}}, inside the SignedData's
// contentInfo {OID, [0] EXPLICIT content}.
void ReadDigest(const Der& contentInfo, const std::string& file, const PeLayout& layout, SignatureInfo& info) {
    const Der wrapped = After(Inside(contentInfo), contentInfo);
    const Der indirect = Inside(wrapped);
    const Der digestInfo = After(Inside(indirect), indirect);
    const Der algorithm = Inside(Inside(digestInfo));
    const Der digest = After(Inside(digestInfo), digestInfo);
    if (!digest.ok || digest.tag != 0x04) return;
    if (IsOid(algorithm, kSha256, 9)) {
        info.digestName = "SHA-256";
        info.digestChecked = layout.checksumField && layout.securityEntry < layout.securityTable;
        info.digestMatches = info.digestChecked && Hex(digest) == AuthenticodeSha256(file, layout);
    } else {
        info.digestName = IsOid(algorithm, kSha1, 5) ? "SHA-1" : "another digest";
    }
}

}  // namespace

SignatureInfo ReadSignature(const std::string& file, const PeLayout& layout) {
    SignatureInfo info;
    if (!HasSignatureTable(layout, file.size()) || layout.securitySize < 8) return info;
    info.present = true;
    // WIN_CERTIFICATE: dwLength, wRevision, wCertificateType (2: PKCS#7
    // SignedData), then the DER. Only the first entry is read.
    const uint8_t* table = reinterpret_cast<const uint8_t*>(file.data()) + layout.securityTable;
    const uint32_t length = ReadLe32(file, layout.securityTable);
    if (length < 8 || length > layout.securitySize || (table[6] | table[7] << 8) != 2) return info;
    const uint8_t* p = table + 8;
    const Der contentInfo = Next(p, table + length);
    const Der type = Inside(contentInfo);
    if (!IsOid(type, kSignedData, 9)) return info;
    const Der signedData = Inside(After(type, contentInfo));
    // version, digestAlgorithms, contentInfo, [0] certificates, [1] crls, signerInfos
    const Der digestAlgorithms = After(Inside(signedData), signedData);
    const Der content = After(digestAlgorithms, signedData);
    Der certificates = After(content, signedData);
    Der signerInfos = certificates;
    if (certificates.tag == 0xA0) signerInfos = After(certificates, signedData);
    if (signerInfos.tag == 0xA1) signerInfos = After(signerInfos, signedData);
    const Der signer = Inside(signerInfos);
    // SignerInfo: version, issuerAndSerialNumber {issuer, serial}, ...,
    // [1] unauthenticated attributes last.
    const Der issuerAndSerial = After(Inside(signer), signer);
    const Der issuer = Inside(issuerAndSerial);
    const Der serial = After(issuer, issuerAndSerial);
    Der subject, certificateIssuer;
    if (certificates.tag != 0xA0 || !serial.ok || !FindCertificate(certificates, issuer, serial, &subject, &certificateIssuer))
        return info;
    info.readable = true;
    info.signer = CommonName(subject);
    info.issuer = CommonName(certificateIssuer);
    ReadDigest(content, file, layout, info);
    Der last = Inside(signer);
    for (Der d = last; d.ok; d = After(d, signer)) last = d;
    info.timestamped = last.tag == 0xA1 && (Contains(last, kCounterSignature, 9) || Contains(last, kRfc3161Stamp, 10));
    return info;
}
