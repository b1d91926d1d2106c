#pragma once
// The installer's only window: start screen, custom-install panel, progress screen.

#include <windows.h>

#include <string>

#include "uilib/UiLib.h"
#include "ui/WndShadow.h"

class MainFrameWnd : public UiLib::WindowImplBase {
public:
    MainFrameWnd() = default;
    ~MainFrameWnd() override = default;

    const wchar_t* WindowClassName() const override { return L"MainFrame_Wnd"; }
    LRESULT HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) override;
    void OnWindowCreated() override;
    UiLib::CDuiString SkinFolder() override { return L""; }
    UiLib::CDuiString SkinFile() override { return L"MainFrame.xml"; }
    LRESULT OnSysCommand(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& handled) override;
    void Notify(UiLib::TNotifyUI& msg) override;

    // Used by the install-folder handling.
    void ShowCustomPanel(bool visible);
    void StartInstallation();
    void OnInstallClick();
    void BrowseInstallFolder(HWND owner);
    // Puts a folder (from the command line) in place of the proposed one.
    void ProposeFolder(const std::wstring& folder);

    void ShowProgressGroup(bool visible);
    void HideStartGroup();
    void HideSlides();

    bool errorShown = false;
    CWndShadow shadow;
    std::wstring installPath;
    int slideIndex = 1;

private:
    UiLib::CControlUI* Find(const wchar_t* name) const { return m_PaintManager.FindControl(name); }
    void SetVisible(const wchar_t* name, bool visible);
    // A client size in skin pixels, at the window's DPI.
    void ResizeToSkin(int cx, int cy);
    // The shadow's width and blur at the window's DPI.
    void ScaleShadow();
    void OnWindowInit();
    void OnControlClick(UiLib::CControlUI* sender);
    void OnTimer(UiLib::CControlUI* sender);
    void OnProgress(WPARAM percent, LPARAM kind);
    void OnDownloadState(WPARAM what, LPARAM phase);
    void OnDownloadProgress(WPARAM arrivedKiB, LPARAM totalKiB);
    void ShowDownloadTip(WPARAM arrivedKiB, LPARAM totalKiB);
    void OnTaskError(const wchar_t* text);
    // Closes the window and ends the process at once, whatever the runner is doing.
    [[noreturn]] void EndProcess();

    // The download the label shows, until the next step's progress; nullptr: none.
    const wchar_t* downloadName_ = nullptr;
    bool downloadResuming_ = false;
};

extern MainFrameWnd* g_mainFrame;
