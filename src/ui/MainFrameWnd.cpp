#include "ui/MainFrameWnd.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <cstdlib>
#include <iterator>

#include "base/Owners.h"
#include "base/Product.h"
#include "tasks/InstallMessages.h"
#include "tasks/TaskManager.h"
#include "ui/WindowTexts.h"
#include "ui/InstallFolder.h"
#include "uilib/UiScale.h"

using UiLib::CControlUI;
using UiLib::CProgressUI;

namespace {

constexpr int kClientWidth = 680;
constexpr int kClientHeight = 420;
constexpr int kClientHeightWithPanel = 480;
constexpr UINT kAnimationTimer = 100;
constexpr UINT kSlideTimer = 100;  // same id: timers are kept per control
constexpr int kShadowSize = 4;

const wchar_t* const kProgressGroup[] = {
    L"ProgressInsatll",        L"LabelProgressTip",     L"ControlProAnimation", L"ControlNetInstallPanel",
    L"ContronNetInstallHide",  L"ControlNetInstallImg", L"ControlProgressBk",
};
const wchar_t* const kStartGroup[] = {
    L"BtnCustomInstall", L"BtnDown", L"BtnInstall", L"ControlICO", L"LabelShowSizeMini", L"ControlGameLogo",
    L"LabelGameName",
};

}  // namespace

void MainFrameWnd::SetVisible(const wchar_t* name, bool visible) {
    if (CControlUI* control = Find(name)) control->SetVisible(visible);
}

void MainFrameWnd::ShowProgressGroup(bool visible) {
    for (const wchar_t* name : kProgressGroup) SetVisible(name, visible);
}

void MainFrameWnd::HideStartGroup() {
    for (const wchar_t* name : kStartGroup) SetVisible(name, false);
}

void MainFrameWnd::HideSlides() {
    for (int i = 1; i <= 5; ++i) {
        wchar_t name[20];
        wsprintfW(name, L"ControlImage%d", i);
        SetVisible(name, false);
    }
}

void MainFrameWnd::ShowCustomPanel(bool visible) { SetVisible(L"PanelInstallInfo", visible); }

void MainFrameWnd::ResizeToSkin(int cx, int cy) {
    ResizeClient(m_PaintManager.Scale(cx), m_PaintManager.Scale(cy));
}

void MainFrameWnd::ScaleShadow() {
    shadow.sharpness = static_cast<uint8_t>(m_PaintManager.Scale(ShadowParams().sharpness));
    shadow.SetShadowSize(static_cast<int8_t>(m_PaintManager.Scale(kShadowSize)));
}

void MainFrameWnd::OnWindowCreated() {
    CWndShadow::RegisterShadowClass(UiLib::CPaintManagerUI::GetInstance());
    shadow.AttachToParent(GetHWND());
    ScaleShadow();
    shadow.SetShadowOffset(0, 0);

    installPath = DefaultInstallFolder();
}

void MainFrameWnd::OnWindowInit() {
    ResizeToSkin(kClientWidth, kClientHeight);
    ShowProgressGroup(false);
    ShowCustomPanel(false);
    HideSlides();
    if (CControlUI* edit = Find(L"EditPath")) {
        edit->SetText(installPath.c_str());
        edit->SetEnabled(true);
    }
}

void MainFrameWnd::Notify(UiLib::TNotifyUI& msg) {
    if (msg.sType == L"windowinit") {
        OnWindowInit();
    } else if (msg.sType == L"click") {
        OnControlClick(msg.pSender);
    } else if (msg.sType == L"timer") {
        OnTimer(msg.pSender);
    }
    // Other notifications are of no interest to this window.
}

void MainFrameWnd::OnControlClick(CControlUI* sender) {
    if (sender == nullptr) return;
    const UiLib::CDuiString& name = sender->GetName();
    if (name == L"BtnClose") {
        if (::MessageBoxW(GetHWND(), kExitConfirmText, kMessageCaption, MB_OKCANCEL) == IDOK) EndProcess();
    } else if (name == L"BtnMin") {
        SendMessage(WM_SYSCOMMAND, SC_MINIMIZE, 0);
    } else if (name == L"BtnSelFolder") {
        BrowseInstallFolder(GetHWND());
    } else if (name == L"BtnCustomInstall" || name == L"BtnDown") {
        CControlUI* panel = Find(L"PanelInstallInfo");
        if (panel == nullptr) return;
        if (panel->IsVisible()) {
            ResizeToSkin(kClientWidth, kClientHeight);
            ShowCustomPanel(false);
        } else {
            ResizeToSkin(kClientWidth, kClientHeightWithPanel);
            ShowCustomPanel(true);
        }
    } else if (name == L"BtnInstall") {
        OnInstallClick();
    }
}

void MainFrameWnd::OnInstallClick() {
    if (CControlUI* edit = Find(L"EditPath")) installPath = edit->GetText().str();
    const FolderCheck check = CheckInstallFolder(installPath);
    if (check != FolderCheck::Ok) {
        ::MessageBoxW(GetHWND(), FolderCheckMessage(check), kMessageCaption, MB_OK);
        return;
    }
    StartInstallation();
}

void MainFrameWnd::BrowseInstallFolder(HWND owner) {
    BROWSEINFOW info = {};
    info.hwndOwner = owner;
    info.lpszTitle = kFolderDialogTitle;
    info.ulFlags = BIF_BROWSEINCLUDEFILES;
    const UniqueCoTaskMemory chosen(::SHBrowseForFolderW(&info));
    if (!chosen) return;
    wchar_t path[MAX_PATH] = {};
    if (!::SHGetPathFromIDListW(static_cast<LPCITEMIDLIST>(chosen.get()), path) || path[0] == L'\0') return;
    installPath = ProductFolderBelow(path);
    if (CControlUI* edit = Find(L"EditPath")) {
        edit->SetText(installPath.c_str());
        edit->SetEnabled(true);
    }
}

void MainFrameWnd::ProposeFolder(const std::wstring& folder) {
    installPath = folder;
    if (CControlUI* edit = Find(L"EditPath")) edit->SetText(installPath.c_str());
}

void MainFrameWnd::StartInstallation() {
    if (CControlUI* background = Find(L"PanelBK"))
        background->SetBkImage(L"file='MainFrame.png' source='708,358,1384,696'");
    HideStartGroup();
    ResizeToSkin(kClientWidth, kClientHeight);
    ShowCustomPanel(false);
    ShowProgressGroup(true);
    HideSlides();

    g_taskManager.SetInstallPath(installPath);
    g_taskManager.StartTaskManager();

    if (CControlUI* highlight = Find(L"ControlProAnimation")) {
        highlight->SetVisible(false);
        m_PaintManager.SetTimer(highlight, kAnimationTimer, 50);
    }
    if (CControlUI* slide = Find(L"ControlImage1")) {
        slide->SetVisible(true);
        m_PaintManager.SetTimer(slide, kSlideTimer, 2000);
        slideIndex = 1;
    }
}

void MainFrameWnd::OnTimer(CControlUI* sender) {
    if (sender == nullptr) return;
    if (sender->GetName() == L"ControlProAnimation") {
        auto* progress = static_cast<CProgressUI*>(Find(L"ProgressInsatll"));
        if (progress == nullptr || progress->GetValue() <= 5) return;
        const RECT r = sender->GetPos();
        int x = r.left + 5;
        const int filled = static_cast<int>(progress->GetValue() * progress->GetWidth() / 100.0);
        const int limit = filled - 20;
        if (x >= limit) {
            x = 20;
        } else if (x + sender->GetWidth() > filled) {
            x = limit;
        }
        if (!sender->IsVisible()) sender->SetVisible(true);
        sender->SetPos(RECT{x, r.top, x + sender->GetWidth(), r.bottom});
        return;
    }
    HideSlides();
    if (sender->GetName() == L"ControlImage1") {
        slideIndex = slideIndex + 1 > 5 ? 1 : slideIndex + 1;
        wchar_t name[20];
        wsprintfW(name, L"ControlImage%d", slideIndex);
        SetVisible(name, true);
    }
}

void MainFrameWnd::OnProgress(WPARAM percent, LPARAM kind) {
    downloadName_ = nullptr;  // the download is over: the label says the step again
    const int value = static_cast<int>(percent);
    if (auto* progress = static_cast<CProgressUI*>(Find(L"ProgressInsatll"))) progress->SetValue(value);
    CControlUI* label = Find(L"LabelProgressTip");
    if (label == nullptr) return;
    label->SetText(ProgressTip(value, kind == kProgressNetFx).c_str());
}

std::wstring ProgressTip(int percent, bool installingNetFx) {
    wchar_t text[120];
    wsprintfW(text,
              installingNetFx ? L"正在安装 %d%%，检测到没有安装.NET，正在安装，安装需要3-5分钟，请耐心等候..."
                              : L"正在安装 %d%%",
              percent);
    return text;
}

namespace {

// Tenths of a MiB, rounded half up.
std::wstring Megabytes(uint64_t kib) {
    const uint64_t tenths = (kib * 10 + 512) / 1024;
    return std::to_wstring(tenths / 10) + L'.' + std::to_wstring(tenths % 10) + L" MB";
}

}  // namespace

std::wstring DownloadTip(const wchar_t* what, bool resuming, uint64_t arrivedKiB, int64_t totalKiB) {
    std::wstring text = resuming ? L"网络中断，正在继续下载 " : L"正在下载 ";
    text += what;
    text += L"… ";
    if (totalKiB < 0) return text + Megabytes(arrivedKiB);
    const uint64_t total = static_cast<uint64_t>(totalKiB);
    // Down, so 100 % means all of it; a server that sends more than it said stops there.
    const uint64_t percent = arrivedKiB >= total ? 100 : arrivedKiB * 100 / total;
    return text + std::to_wstring(percent) + L"%（" + Megabytes(arrivedKiB) + L" / " + Megabytes(total) + L"）";
}

void MainFrameWnd::OnDownloadState(WPARAM what, LPARAM phase) {
    switch (what) {
        case kDownloadNetFx35:
            downloadName_ = kNetFx35Name;
            break;
        case kDownloadSp2:
            downloadName_ = kSp2Name;
            break;
        default:
            return;  // no download this window knows
    }
    downloadResuming_ = phase == kDownloadResuming;
    ShowDownloadTip(0, kDownloadSizeUnknown);
}

void MainFrameWnd::OnDownloadProgress(WPARAM arrivedKiB, LPARAM totalKiB) {
    // Only between a download's start and the next step's progress.
    if (downloadName_ != nullptr) ShowDownloadTip(arrivedKiB, totalKiB);
}

void MainFrameWnd::ShowDownloadTip(WPARAM arrivedKiB, LPARAM totalKiB) {
    if (CControlUI* label = Find(L"LabelProgressTip"))
        label->SetText(DownloadTip(downloadName_, downloadResuming_, arrivedKiB, totalKiB).c_str());
}

void MainFrameWnd::OnTaskError(const wchar_t* text) {
    errorShown = true;
    if (::MessageBoxW(GetHWND(), text, kMessageCaption, MB_OK) == IDOK) EndProcess();
}

void MainFrameWnd::EndProcess() {
    Close(1);
    ::PostQuitMessage(0);
    std::exit(0);
}

LRESULT MainFrameWnd::HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) {
    switch (uMsg) {
        case WM_INSTALL_PROGRESS:
            OnProgress(wParam, lParam);
            return 0;
        case WM_DOWNLOAD_STATE:
            OnDownloadState(wParam, lParam);
            return 0;
        case WM_DOWNLOAD_PROGRESS:
            OnDownloadProgress(wParam, lParam);
            return 0;
        case WM_INSTALL_DONE:
            if (!errorShown) EndProcess();
            return 0;
        case WM_NETFX_DOWNLOAD_ERROR:
            OnTaskError(kNetFxDownloadErrorText);
            return 0;
        case WM_DISK_SPACE_ERROR:
            OnTaskError(kDiskSpaceErrorText);
            return 0;
        case UiLib::kWmDpiChanged: {
            const LRESULT result = WindowImplBase::HandleMessage(uMsg, wParam, lParam);
            ScaleShadow();
            return result;
        }
        default:
            return WindowImplBase::HandleMessage(uMsg, wParam, lParam);
    }
}

LRESULT MainFrameWnd::OnSysCommand(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& /*handled*/) {
    // Escape, Alt+F4 and the taskbar's close ask first, as the close button does.
    if ((wParam & 0xFFF0) == SC_CLOSE && m_PaintManager.Click(Find(L"BtnClose"))) return 0;
    CWindowWnd::HandleMessage(uMsg, wParam, lParam);
    return 0;
}
