// Test tool: what Windows makes of a release installer.
//   trust_probe verify <file>   prints "0x<WinVerifyTrust result> <signer's name, or ->"
//   trust_probe map <file>      prints "mapped" or "failed <error>": whether the loader takes it
#include <windows.h>

#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstdio>
#include <string>

namespace {

std::string Utf8(const std::wstring& text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(size > 0 ? size - 1 : 0, '\0');
    if (size > 1) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], size, nullptr, nullptr);
    return out;
}

std::wstring SignerName(HANDLE state) {
    CRYPT_PROVIDER_DATA* data = WTHelperProvDataFromStateData(state);
    CRYPT_PROVIDER_SGNR* signer = data ? WTHelperGetProvSignerFromChain(data, 0, FALSE, 0) : nullptr;
    CRYPT_PROVIDER_CERT* cert = signer ? WTHelperGetProvCertFromChain(signer, 0) : nullptr;
    if (cert == nullptr || cert->pCert == nullptr) return L"-";
    wchar_t name[256] = L"";
    if (CertGetNameStringW(cert->pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, 256) <= 1) return L"-";
    return name;
}

// The generic verify action on the whole file, with no UI and no revocation check.
int Verify(const wchar_t* path) {
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = path;
    WINTRUST_DATA trust = {};
    trust.cbStruct = sizeof(trust);
    trust.dwUIChoice = WTD_UI_NONE;
    trust.fdwRevocationChecks = WTD_REVOKE_NONE;
    trust.dwUnionChoice = WTD_CHOICE_FILE;
    trust.pFile = &file;
    trust.dwStateAction = WTD_STATEACTION_VERIFY;
    trust.dwProvFlags = WTD_REVOCATION_CHECK_NONE;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    LONG result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &trust);
    std::wstring signer = result == 0 ? SignerName(trust.hWVTStateData) : L"-";
    trust.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &trust);
    std::printf("0x%08lX %s\n", static_cast<unsigned long>(result), Utf8(signer).c_str());
    return 0;
}

// Maps the file as an image without running it or loading what it imports: the loader's own
// checks of the headers and sections.
int Map(const wchar_t* path) {
    HMODULE image = LoadLibraryExW(path, nullptr, DONT_RESOLVE_DLL_REFERENCES);
    if (image == nullptr) {
        std::printf("failed %lu\n", GetLastError());
        return 0;
    }
    FreeLibrary(image);
    std::printf("mapped\n");
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && std::wstring(argv[1]) == L"verify") return Verify(argv[2]);
    if (argc == 3 && std::wstring(argv[1]) == L"map") return Map(argv[2]);
    std::fprintf(stderr, "usage: trust_probe verify|map <file>\n");
    return 2;
}
