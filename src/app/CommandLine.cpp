#include "app/CommandLine.h"

#include <cwctype>

namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

}  // namespace

const wchar_t kCommandLineHelp[] =
    L"用法：安装程序 [/S] [/D=安装目录]\n\n"
    L"/S\t静默安装，不显示窗口\n"
    L"/D=安装目录\t放在最后，可含空格，不加引号\n"
    L"/?\t显示本说明\n\n"
    L"静默安装的退出码：\n"
    L"0\t安装完成\n"
    L"1\t其他错误\n"
    L"2\t安装目录无效\n"
    L"3\t解压失败（如硬盘空间不足）\n"
    L"4\t下载.NET出错\n"
    L"5\t已有安装程序在运行\n"
    L"6\t安装程序的文件已损坏\n"
    L"7\t安装程序出现错误";

CommandLine ParseCommandLine(const wchar_t* text) {
    CommandLine line;
    const std::wstring all = text != nullptr ? text : L"";
    size_t at = 0;
    for (;;) {
        while (at < all.size() && IsBlank(all[at])) ++at;
        if (at >= all.size()) break;
        // The folder is the rest of the line, as established installers take it; a launcher that
        // quotes an argument with blanks may have put the whole "/D=..." in quotes.
        const bool quoted = all[at] == L'"';
        const size_t from = quoted ? at + 1 : at;
        if (all.size() - from >= 3 && all[from] == L'/' && std::towupper(all[from + 1]) == L'D' &&
            all[from + 2] == L'=') {
            std::wstring folder = all.substr(from + 3);
            while (!folder.empty() && IsBlank(folder.back())) folder.pop_back();
            if (quoted && !folder.empty() && folder.back() == L'"') folder.pop_back();
            // Launchers write /D="C:\My Apps\kavix": the quotes are theirs, not the folder's.
            if (folder.size() >= 2 && folder.front() == L'"' && folder.back() == L'"')
                folder = folder.substr(1, folder.size() - 2);
            line.folder = folder;
            line.folderGiven = true;
            break;
        }
        size_t end = at;
        while (end < all.size() && !IsBlank(all[end])) ++end;
        const std::wstring option = all.substr(at, end - at);
        if (option == L"/S" || option == L"/s") {
            line.silent = true;
        } else if (option == L"/?") {
            line.help = true;
        } else {
            line.unknown = true;
        }
        at = end;
    }
    return line;
}
