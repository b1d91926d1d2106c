#pragma once
// Whether a downloaded program may run: its Authenticode signature is intact and its signer is a
// publisher this build trusts. The installer runs elevated and fetches over plain HTTP, so
// anything that answers on the port could otherwise hand it a program to run.

#include <windows.h>

#include <string>
#include <vector>

enum class SignatureVerdict {
    Trusted,
    NotSigned,
    Tampered,            // signed, then changed
    UntrustedPublisher,  // intact, but signed by someone else
    NotTrusted,          // any other refusal of the signature (an unknown root, an expired certificate...)
};

struct SignatureCheck {
    SignatureVerdict verdict = SignatureVerdict::NotTrusted;
    LONG code = 0;        // what the verification returned
    std::wstring signer;  // the first signer's certificate subject, when it could be read
};

// Checks the whole file: the generic Authenticode action, no UI, no revocation check (installs
// may be offline), then the signer's simple display name against `trusted`.
SignatureCheck CheckSignature(const std::wstring& path, const std::vector<std::wstring>& trusted);
// The same, reading the file through `file` (opened on path for reading, from its start), so the
// bytes checked are those of the file held open, whatever the path leads to meanwhile.
SignatureCheck CheckSignature(HANDLE file, const std::wstring& path, const std::vector<std::wstring>& trusted);
// The same with WinVerifyTrust as looked up in the system's DLL: null, where it is missing, refuses
// (NotTrusted, HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND)).
SignatureCheck CheckSignatureWith(FARPROC winVerifyTrust, const std::wstring& path,
                                  const std::vector<std::wstring>& trusted, HANDLE file = nullptr);

// The publishers this build trusts, from its build option (";" between names).
std::vector<std::wstring> TrustedPublishers();

// The reason a refused file gets in the log: "not signed (0x800B0100)", "signed by <name>, not a
// trusted publisher (0x00000000)", ...
std::wstring DescribeRefusal(const SignatureCheck& check);
