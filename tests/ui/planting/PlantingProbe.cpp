// Started from a folder with planted DLLs.
//   by-name: loads "version.dll" by name, as any program that imports it would; exit 0 when loaded
//   system NAME: restricts the search as the installer does, then loads that DLL (one the installer
//            takes at run time) as the installer does; exit 0 when it loaded, not from this folder
//   late: restricts the search as the installer does, then has the system DLLs the installer uses
//         (GDI+, WinHTTP) do what makes them load others by name; exit 0 when they did
#include <windows.h>
// after windows.h, which they need
#include <objidl.h>
#include <winhttp.h>

#include <cstring>
#include <cwchar>
#include <string>

// after objidl.h, which it needs
#include <gdiplus.h>

#include "base/BuildConfig.h"
#include "base/Owners.h"
#include "base/SystemApi.h"

namespace {

// A PNG of one pixel.
const unsigned char kPixel[] = {0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48,
                                0x44, 0x52, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x00,
                                0x00, 0x1f, 0x15, 0xc4, 0x89, 0x00, 0x00, 0x00, 0x0b, 0x49, 0x44, 0x41, 0x54, 0x78,
                                0x9c, 0x63, 0x60, 0x00, 0x02, 0x00, 0x00, 0x05, 0x00, 0x01, 0x7a, 0x5e, 0xab, 0x3f,
                                0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};

// An image decoded as the skin's are: GDI+ loads its codecs' DLL. From a file, not a stream: this
// program imports nothing that would bring in user32, whose Wine copy loads version.dll by name.
bool DecodeImage(const std::wstring& folder) {
    Gdiplus::GdiplusStartupInput input;
    ULONG_PTR token = 0;
    if (VEXO_SYSTEM_CALL_IN(GdiPlus, Gdiplus, GdiplusStartup)(&token, &input, nullptr) != Gdiplus::Ok) return false;
    const std::wstring path = folder + L"pixel.png";
    {
        const UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD written = 0;
        if (!file || !::WriteFile(file.get(), kPixel, sizeof kPixel, &written, nullptr)) return false;
    }
    Gdiplus::GpBitmap* bitmap = nullptr;
    const bool decoded = VEXO_SYSTEM_CALL_IN(GdiPlus, Gdiplus::DllExports, GdipCreateBitmapFromFile)(
                             path.c_str(), &bitmap) == Gdiplus::Ok;
    if (decoded) VEXO_SYSTEM_CALL_IN(GdiPlus, Gdiplus::DllExports, GdipDisposeImage)(bitmap);
    return decoded;
}

// The proxy settings as the downloads read them: the user's, then a proxy script looked for.
void AskProxy(const std::wstring& url) {
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config = {};
    VEXO_SYSTEM_CALL(WinHttp, WinHttpGetIEProxyConfigForCurrentUser)(&config);
    const UniqueInternet session(VEXO_SYSTEM_CALL(WinHttp, WinHttpOpen)(
        L"probe", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    WINHTTP_AUTOPROXY_OPTIONS options = {};
    options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
    options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    WINHTTP_PROXY_INFO info = {};
    VEXO_SYSTEM_CALL(WinHttp, WinHttpGetProxyForUrl)(session.get(), url.c_str(), &options, &info);
}

// A request as the reports send one, to a port of the statistics host nobody listens on: WinHTTP
// loads its network DLLs.
bool SendRequest() {
    const UniqueInternet session(VEXO_SYSTEM_CALL(WinHttp, WinHttpOpen)(
        L"probe", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) return false;
    const UniqueInternet connection(VEXO_SYSTEM_CALL(WinHttp, WinHttpConnect)(session.get(), kStatsHost, 9, 0));
    if (!connection) return false;
    const UniqueInternet request(VEXO_SYSTEM_CALL(WinHttp, WinHttpOpenRequest)(
        connection.get(), L"GET", L"/", nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0));
    if (!request) return false;
    const auto send = VEXO_SYSTEM_CALL(WinHttp, WinHttpSendRequest);
    send(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0);
    return true;  // refused: what matters is what it loaded on the way
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    if (std::wcscmp(argv[1], L"by-name") == 0) return ::LoadLibraryW(L"version.dll") != nullptr ? 0 : 1;

    RestrictDllSearch();
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring folder = std::wstring(self).substr(0, std::wstring(self).rfind(L'\\') + 1);
    if (std::wcscmp(argv[1], L"late") == 0) {
        AskProxy(std::wstring(L"http://") + kStatsHost + L":9/");
        return DecodeImage(folder) && SendRequest() ? 0 : 1;
    }
    if (argc < 3) return 2;
    const struct {
        const wchar_t* name;
        SystemDll dll;
    } dlls[] = {{L"version", SystemDll::Version},
                {L"winhttp", SystemDll::WinHttp},
                {L"gdiplus", SystemDll::GdiPlus},
                {L"wintrust", SystemDll::WinTrust},
                {L"crypt32", SystemDll::Crypt32}};
    for (const auto& d : dlls) {
        if (std::wcscmp(d.name, argv[2]) != 0) continue;
        const HMODULE module = LoadSystemDll(d.dll);
        wchar_t path[MAX_PATH] = {};
        if (module == nullptr || ::GetModuleFileNameW(module, path, MAX_PATH) == 0) return 3;
        std::wprintf(L"%ls\n", path);
        return _wcsnicmp(path, folder.c_str(), folder.size()) == 0 ? 4 : 0;
    }
    return 2;
}
