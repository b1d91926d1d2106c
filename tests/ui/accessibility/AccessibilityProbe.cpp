// What a screen reader reads of a window, through MSAA from another process:
//
//   accessibility_probe.exe <window, hex> <out-file> list
//       one line a child: id, role, state (hex), left, top, width, height, name, value, default action,
//       tab-separated, UTF-8; then "focus\t<id>" (0: the window itself, -1: nothing focused)
//   accessibility_probe.exe <window, hex> <out-file> press <name>
//       accDoDefaultAction on the first child of that name; "pressed" or the failure
//
// The exit code is 0 when the window answered.

#include <windows.h>

#include <oleacc.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                        nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

VARIANT Child(long id) {
    VARIANT v;
    ::VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = id;
    return v;
}

// A text property of a child: IAccessible::get_accName and the like.
template <typename Getter>
std::wstring Text(IAccessible* object, Getter getter, const VARIANT& child) {
    BSTR text = nullptr;
    const HRESULT hr = (object->*getter)(child, &text);
    std::wstring out = SUCCEEDED(hr) && text ? std::wstring(text, ::SysStringLen(text)) : L"";
    ::SysFreeString(text);
    return out;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 4) return 2;
    const HWND window = reinterpret_cast<HWND>(static_cast<UINT_PTR>(wcstoul(argv[1], nullptr, 16)));
    FILE* out = _wfopen(argv[2], L"wb");
    if (!out) return 2;
    ::CoInitialize(nullptr);
    IAccessible* client = nullptr;
    const HRESULT found = ::AccessibleObjectFromWindow(window, static_cast<DWORD>(OBJID_CLIENT), IID_IAccessible,
                                                       reinterpret_cast<void**>(&client));
    if (FAILED(found) || !client) {
        std::fprintf(out, "no object: 0x%08lx\n", static_cast<unsigned long>(found));
        std::fclose(out);
        return 1;
    }
    long count = 0;
    client->get_accChildCount(&count);
    long pressed = 0;
    for (long id = 1; id <= count; ++id) {
        const VARIANT child = Child(id);
        const std::wstring name = Text(client, &IAccessible::get_accName, child);
        if (wcscmp(argv[3], L"press") == 0) {
            if (argc > 4 && name == argv[4] && pressed == 0) {
                pressed = id;
                const HRESULT hr = client->accDoDefaultAction(child);
                std::fprintf(out, hr == S_OK ? "pressed\n" : "failed 0x%08lx\n", static_cast<unsigned long>(hr));
            }
            continue;
        }
        VARIANT role, state;
        client->get_accRole(child, &role);
        client->get_accState(child, &state);
        long left = 0, top = 0, width = 0, height = 0;
        client->accLocation(&left, &top, &width, &height, child);
        const std::wstring value = Text(client, &IAccessible::get_accValue, child);
        const std::wstring action = Text(client, &IAccessible::get_accDefaultAction, child);
        std::fprintf(out, "%ld\t%ld\t%lx\t%ld\t%ld\t%ld\t%ld\t%s\t%s\t%s\n", id, role.vt == VT_I4 ? role.lVal : -1,
                     state.vt == VT_I4 ? static_cast<unsigned long>(state.lVal) : 0UL, left, top, width, height,
                     Utf8(name).c_str(), Utf8(value).c_str(), Utf8(action).c_str());
    }
    if (wcscmp(argv[3], L"list") == 0) {
        VARIANT focus;
        ::VariantInit(&focus);
        const HRESULT hr = client->get_accFocus(&focus);
        std::fprintf(out, "focus\t%ld\n", hr == S_OK && focus.vt == VT_I4 ? focus.lVal : -1L);
    } else if (pressed == 0) {
        std::fprintf(out, "no such child\n");
    }
    client->Release();
    std::fclose(out);
    return 0;
}
