#include "prereq/UserStart.h"

#include <windows.h>
// after windows.h, which they need
#include <exdisp.h>
#include <servprov.h>
#include <shldisp.h>
#include <shlobj.h>

#include <utility>

#include "base/Log.h"
#include "base/Owners.h"
#include "prereq/ProgramRunner.h"

namespace {

// A VARIANT cleared once.
class Variant {
public:
    Variant() noexcept { ::VariantInit(&value_); }
    ~Variant() { ::VariantClear(&value_); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    VARIANT* get() noexcept { return &value_; }

private:
    VARIANT value_;
};

// A BSTR freed once.
class Bstr {
public:
    explicit Bstr(const std::wstring& text) : value_(::SysAllocStringLen(text.c_str(), static_cast<UINT>(text.size()))) {}
    ~Bstr() { ::SysFreeString(value_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR get() const noexcept { return value_; }
    // Handed over to a VARIANT, which frees it.
    BSTR release() noexcept { return std::exchange(value_, nullptr); }

private:
    BSTR value_;
};

bool Failed(HRESULT hr, const char* step, const std::wstring& file) {
    if (SUCCEEDED(hr)) return false;
    LogCallFailed(step, file, static_cast<DWORD>(hr));
    return true;
}

// The shell's automation object of the desktop's window: its shell view's background, asked for
// the application object it belongs to.
bool DesktopShell(const std::wstring& file, ComPtr<IShellDispatch2>* shell) {
    ComPtr<IShellWindows> windows;
    HRESULT hr = ::CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, IID_IShellWindows, windows.out());
    if (Failed(hr, "CoCreateInstance (shell windows)", file)) return false;
    Variant desktop, none;
    desktop.get()->vt = VT_I4;
    desktop.get()->lVal = CSIDL_DESKTOP;
    long window = 0;
    ComPtr<IDispatch> found;
    hr = windows->FindWindowSW(desktop.get(), none.get(), SWC_DESKTOP, &window, SWFO_NEEDDISPATCH,
                               reinterpret_cast<IDispatch**>(found.out()));
    // S_FALSE: no desktop window.
    if (hr == S_FALSE || !found) hr = E_NOINTERFACE;
    if (Failed(hr, "IShellWindows::FindWindowSW (desktop)", file)) return false;
    ComPtr<IServiceProvider> provider;
    hr = found->QueryInterface(IID_IServiceProvider, provider.out());
    if (Failed(hr, "QueryInterface (IServiceProvider)", file)) return false;
    ComPtr<IShellBrowser> browser;
    hr = provider->QueryService(SID_STopLevelBrowser, IID_IShellBrowser, browser.out());
    if (Failed(hr, "QueryService (top-level browser)", file)) return false;
    ComPtr<IShellView> view;
    hr = browser->QueryActiveShellView(reinterpret_cast<IShellView**>(view.out()));
    if (SUCCEEDED(hr) && !view) hr = E_NOINTERFACE;
    if (Failed(hr, "IShellBrowser::QueryActiveShellView", file)) return false;
    ComPtr<IDispatch> background;
    hr = view->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch, background.out());
    if (Failed(hr, "IShellView::GetItemObject (background)", file)) return false;
    ComPtr<IShellFolderViewDual> folderView;
    hr = background->QueryInterface(IID_IShellFolderViewDual, folderView.out());
    if (Failed(hr, "QueryInterface (IShellFolderViewDual)", file)) return false;
    ComPtr<IDispatch> application;
    hr = folderView->get_Application(reinterpret_cast<IDispatch**>(application.out()));
    if (SUCCEEDED(hr) && !application) hr = E_NOINTERFACE;
    if (Failed(hr, "IShellFolderViewDual::get_Application", file)) return false;
    hr = application->QueryInterface(IID_IShellDispatch2, shell->out());
    return !Failed(hr, "QueryInterface (IShellDispatch2)", file);
}

}  // namespace

bool RunsElevated() {
    UniqueHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.out())) return false;
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    // Windows XP knows no elevation and refuses the question.
    return ::GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size) &&
           elevation.TokenIsElevated != 0;
}

bool StartAsDesktopUser(const std::wstring& file, const std::wstring& folder) {
    // Only in this scope, on this thread: the runner thread's own apartment.
    const ComScope com;
    // A thread already in the multithreaded apartment has COM too.
    if (com.result() != RPC_E_CHANGED_MODE && Failed(com.result(), "CoInitialize", file)) return false;
    ComPtr<IShellDispatch2> shell;
    if (!DesktopShell(file, &shell)) return false;
    Bstr program(file);
    Variant parameters, directory, operation, show;
    directory.get()->vt = VT_BSTR;
    directory.get()->bstrVal = Bstr(folder).release();
    show.get()->vt = VT_I4;
    show.get()->lVal = SW_HIDE;  // as ShellRun starts it
    const HRESULT hr = shell->ShellExecute(program.get(), *parameters.get(), *directory.get(), *operation.get(), *show.get());
    return !Failed(hr, "IShellDispatch2::ShellExecute", file);
}

void StartAsUser(const std::wstring& file, const std::wstring& folder) {
    // Elevated, a missing file is not handed to the shell: it would say so in a box of its own.
    const DWORD attributes = ::GetFileAttributesW(file.c_str());
    if (RunsElevated() && attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY) &&
        StartAsDesktopUser(file, folder)) {
        LogFormatW(g_log, L"%s started as the desktop's user", file.c_str());
        return;
    }
    if (ShellRun(file, nullptr, folder, false)) LogFormatW(g_log, L"%s started by this process", file.c_str());
}
