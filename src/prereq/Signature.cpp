#include "prereq/Signature.h"

#include <softpub.h>
#include <wintrust.h>

#include <cwchar>

#include "base/BuildConfig.h"
#include "base/SystemApi.h"

namespace {

// WINTRUST_ACTION_GENERIC_VERIFY_V2, spelled out so no GUID symbol is linked from the import library.
GUID GenericVerifyAction() { return {0xaac56b, 0xcd44, 0x11d0, {0x8c, 0xc2, 0x00, 0xc0, 0x4f, 0xc2, 0x95, 0xee}}; }

constexpr LONG kNoSignature = static_cast<LONG>(0x800B0100);       // TRUST_E_NOSIGNATURE
constexpr LONG kUnknownSubject = static_cast<LONG>(0x800B0003);    // TRUST_E_SUBJECT_FORM_UNKNOWN
constexpr LONG kBadDigest = static_cast<LONG>(0x80096010);         // TRUST_E_BAD_DIGEST

using WinVerifyTrustFn = decltype(&::WinVerifyTrust);

// One verification: WinVerifyTrust keeps state between the verify and its close, which must
// always follow.
class Verification {
public:
    Verification(WinVerifyTrustFn verify, const std::wstring& path, HANDLE file) : verify_(verify) {
        file_.cbStruct = sizeof file_;
        file_.pcwszFilePath = path.c_str();
        file_.hFile = file;
        data_.cbStruct = sizeof data_;
        data_.dwUIChoice = WTD_UI_NONE;
        data_.fdwRevocationChecks = WTD_REVOKE_NONE;
        data_.dwUnionChoice = WTD_CHOICE_FILE;
        data_.pFile = &file_;
        data_.dwStateAction = WTD_STATEACTION_VERIFY;
        result_ = Call();
    }
    ~Verification() {
        data_.dwStateAction = WTD_STATEACTION_CLOSE;
        Call();
    }
    Verification(const Verification&) = delete;
    Verification& operator=(const Verification&) = delete;

    LONG result() const { return result_; }

    // Subject of the first signer's own certificate; empty when it cannot be read.
    std::wstring Signer() const {
        CRYPT_PROVIDER_DATA* provider =
            VEXO_SYSTEM_CALL(WinTrust, WTHelperProvDataFromStateData)(data_.hWVTStateData);
        if (provider == nullptr) return {};
        CRYPT_PROVIDER_SGNR* signer = VEXO_SYSTEM_CALL(WinTrust, WTHelperGetProvSignerFromChain)(provider, 0, FALSE, 0);
        if (signer == nullptr) return {};
        CRYPT_PROVIDER_CERT* cert = VEXO_SYSTEM_CALL(WinTrust, WTHelperGetProvCertFromChain)(signer, 0);
        if (cert == nullptr || cert->pCert == nullptr) return {};
        wchar_t name[256] = {};
        const DWORD chars = VEXO_SYSTEM_CALL(Crypt32, CertGetNameStringW)(
            cert->pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, 256);
        return chars > 1 ? std::wstring(name) : std::wstring();
    }

private:
    LONG Call() {
        GUID action = GenericVerifyAction();
        // INVALID_HANDLE_VALUE as the window: never any UI.
        return verify_(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data_);
    }

    WinVerifyTrustFn verify_;
    WINTRUST_FILE_INFO file_ = {};
    WINTRUST_DATA data_ = {};
    LONG result_ = 0;
};

}  // namespace

SignatureCheck CheckSignature(const std::wstring& path, const std::vector<std::wstring>& trusted) {
    return CheckSignatureWith(LookUpSystemDllFunction(SystemDll::WinTrust, "WinVerifyTrust"), path, trusted);
}

SignatureCheck CheckSignature(HANDLE file, const std::wstring& path, const std::vector<std::wstring>& trusted) {
    // The verification reads through the handle from where it stands.
    LARGE_INTEGER start = {};
    if (!::SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) {
        SignatureCheck check;
        check.code = HRESULT_FROM_WIN32(::GetLastError());
        return check;
    }
    return CheckSignatureWith(LookUpSystemDllFunction(SystemDll::WinTrust, "WinVerifyTrust"), path, trusted, file);
}

SignatureCheck CheckSignatureWith(FARPROC winVerifyTrust, const std::wstring& path,
                                  const std::vector<std::wstring>& trusted, HANDLE file) {
    SignatureCheck check;
    // Called through the look-up's stand-in, a missing function would return 0: "trusted".
    if (winVerifyTrust == nullptr) {
        check.verdict = SignatureVerdict::NotTrusted;
        check.code = HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
        return check;
    }
    const Verification verification(reinterpret_cast<WinVerifyTrustFn>(reinterpret_cast<void*>(winVerifyTrust)), path, file);
    check.code = verification.result();
    if (check.code == kNoSignature || check.code == kUnknownSubject) {
        check.verdict = SignatureVerdict::NotSigned;
    } else if (check.code == kBadDigest) {
        check.verdict = SignatureVerdict::Tampered;
    } else if (check.code != 0) {
        check.verdict = SignatureVerdict::NotTrusted;
    } else {
        check.signer = verification.Signer();
        check.verdict = SignatureVerdict::UntrustedPublisher;
        for (const auto& publisher : trusted)
            if (!check.signer.empty() && check.signer == publisher) check.verdict = SignatureVerdict::Trusted;
    }
    return check;
}

std::vector<std::wstring> TrustedPublishers() {
    std::vector<std::wstring> names;
    const std::wstring list = kTrustedPublishers;
    for (size_t start = 0; start <= list.size();) {
        size_t end = list.find(L';', start);
        if (end == std::wstring::npos) end = list.size();
        if (end > start) names.push_back(list.substr(start, end - start));
        start = end + 1;
    }
    return names;
}

std::wstring DescribeRefusal(const SignatureCheck& check) {
    std::wstring reason;
    switch (check.verdict) {
        case SignatureVerdict::Trusted: reason = L"trusted"; break;
        case SignatureVerdict::NotSigned: reason = L"not signed"; break;
        case SignatureVerdict::Tampered: reason = L"signature does not match the file"; break;
        case SignatureVerdict::UntrustedPublisher:
            reason = L"signed by " + (check.signer.empty() ? std::wstring(L"an unnamed signer") : check.signer) +
                     L", not a trusted publisher";
            break;
        case SignatureVerdict::NotTrusted: reason = L"signature not trusted"; break;
    }
    wchar_t code[16];
    std::swprintf(code, 16, L" (0x%08lX)", static_cast<unsigned long>(check.code));
    return reason + code;
}
