// What screen readers see of a skinned window: an MSAA object for the client area whose
// children are the skin's controls (buttons, edits, progress bars, texts, and images that have a
// name), with their role, name, state, place, value and default action.

#include <windows.h>

#include <oleacc.h>

#include <new>
#include <string>
#include <vector>

#include "base/SystemApi.h"
#include "uilib/UiInternal.h"

namespace UiLib {
namespace detail {

namespace {

// {618736E0-3C3D-11CF-810C-00AA00389B71}, spelled out: mingw's import libraries lack it.
constexpr IID kIidAccessible = {0x618736e0, 0x3c3d, 0x11cf, {0x81, 0x0c, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

constexpr wchar_t kPressAction[] = L"按下";

enum class Kind { None, Button, Edit, Progress, Text, Graphic };

Kind KindOf(const CControlUI* control) {
    if (dynamic_cast<const CButtonUI*>(control)) return Kind::Button;
    if (dynamic_cast<const CEditUI*>(control)) return Kind::Edit;
    if (dynamic_cast<const CProgressUI*>(control)) return Kind::Progress;
    if (dynamic_cast<const CContainerUI*>(control)) return Kind::None;
    if (dynamic_cast<const CLabelUI*>(control) && !control->GetText().IsEmpty()) return Kind::Text;
    return control->GetToolTip().IsEmpty() ? Kind::None : Kind::Graphic;
}

// The controls a reader sees, in skin order; a child's id is its index here plus one.
void Collect(CControlUI* control, std::vector<CControlUI*>* out) {
    for (int i = 0; i < control->GetCount(); ++i) {
        CControlUI* child = control->GetItemAt(i);
        if (KindOf(child) != Kind::None) out->push_back(child);
        Collect(child, out);
    }
}

std::vector<CControlUI*> Children(CPaintManagerUI* manager) {
    std::vector<CControlUI*> out;
    if (manager && manager->GetRoot()) Collect(manager->GetRoot(), &out);
    return out;
}

// An edit or a progress bar is named by the text before it, as a dialog's label names its field.
std::wstring NameOf(const CControlUI* control) {
    if (!control->GetToolTip().IsEmpty()) {
        if (KindOf(control) != Kind::Button || control->GetText().IsEmpty()) return control->GetToolTip().str();
    }
    const Kind kind = KindOf(control);
    if (kind != Kind::Edit && kind != Kind::Progress) return control->GetText().str();
    const CControlUI* parent = control->GetParent();
    if (!parent) return std::wstring();
    std::wstring label;
    for (int i = 0; i < parent->GetCount() && parent->GetItemAt(i) != control; ++i) {
        const CControlUI* before = parent->GetItemAt(i);
        if (KindOf(before) == Kind::Text) label = before->GetText().str();
    }
    return label;
}

HRESULT ReturnText(const std::wstring& text, BSTR* out) {
    if (text.empty()) return S_FALSE;
    *out = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

bool HasFocus(HWND window) {
    const HWND now = ::GetFocus();
    return now != nullptr && (now == window || ::IsChild(window, now));
}

UINT PressMessage() {
    static const UINT message = ::RegisterWindowMessageW(L"UiLib.AccessiblePress");
    return message;
}

}  // namespace

class AccessibleWindow final : public IAccessible {
public:
    AccessibleWindow(CPaintManagerUI* manager, FocusKeeper* keeper, IAccessible* standard)
        : manager_(manager), keeper_(keeper), standard_(standard) {}

    void Disconnect() {
        manager_ = nullptr;
        keeper_ = nullptr;
        if (standard_) standard_->Release();
        standard_ = nullptr;
        ::CoDisconnectObject(this, 0);
    }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == kIidAccessible) {
            *out = static_cast<IAccessible*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(::InterlockedIncrement(&references_)); }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG left = ::InterlockedDecrement(&references_);
        if (left == 0) {
            if (standard_) standard_->Release();
            delete this;
        }
        return static_cast<ULONG>(left);
    }

    // IDispatch: readers use the IAccessible methods themselves.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (!count) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }

    // IAccessible
    HRESULT STDMETHODCALLTYPE get_accParent(IDispatch** parent) override {
        if (!parent) return E_POINTER;
        *parent = nullptr;
        if (!manager_) return RPC_E_DISCONNECTED;
        return standard_ ? standard_->get_accParent(parent) : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE get_accChildCount(long* count) override {
        if (!count) return E_POINTER;
        if (!manager_) return RPC_E_DISCONNECTED;
        *count = static_cast<long>(Children(manager_).size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accChild(VARIANT child, IDispatch** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        CControlUI* control = nullptr;
        const HRESULT hr = Resolve(child, &control);
        if (FAILED(hr)) return hr;
        return control ? S_FALSE : E_INVALIDARG;  // children are simple elements
    }
    HRESULT STDMETHODCALLTYPE get_accName(VARIANT child, BSTR* name) override {
        if (!name) return E_POINTER;
        *name = nullptr;
        CControlUI* control = nullptr;
        const HRESULT hr = Resolve(child, &control);
        if (FAILED(hr)) return hr;
        if (!control) return standard_ ? standard_->get_accName(child, name) : S_FALSE;
        return ReturnText(NameOf(control), name);
    }
    HRESULT STDMETHODCALLTYPE get_accValue(VARIANT child, BSTR* value) override {
        if (!value) return E_POINTER;
        *value = nullptr;
        CControlUI* control = nullptr;
        const HRESULT hr = Resolve(child, &control);
        if (FAILED(hr)) return hr;
        if (const auto* progress = dynamic_cast<const CProgressUI*>(control))
            return ReturnText(std::to_wstring(progress->GetValue()) + L"%", value);
        if (control && KindOf(control) == Kind::Edit) {
            const std::wstring text = control->GetText().str();
            *value = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
            return *value ? S_OK : E_OUTOFMEMORY;
        }
        return DISP_E_MEMBERNOTFOUND;
    }
    HRESULT STDMETHODCALLTYPE get_accDescription(VARIANT, BSTR* out) override { return NoText(out); }
    HRESULT STDMETHODCALLTYPE get_accRole(VARIANT child, VARIANT* role) override {
        if (!role) return E_POINTER;
        ::VariantInit(role);
        CControlUI* control = nullptr;
        const HRESULT hr = Resolve(child, &control);
        if (FAILED(hr)) return hr;
        role->vt = VT_I4;
        switch (control ? KindOf(control) : Kind::None) {
        case Kind::Button: role->lVal = ROLE_SYSTEM_PUSHBUTTON; break;
        case Kind::Edit: role->lVal = ROLE_SYSTEM_TEXT; break;
        case Kind::Progress: role->lVal = ROLE_SYSTEM_PROGRESSBAR; break;
        case Kind::Text: role->lVal = ROLE_SYSTEM_STATICTEXT; break;
        case Kind::Graphic: role->lVal = ROLE_SYSTEM_GRAPHIC; break;
        case Kind::None: role->lVal = ROLE_SYSTEM_CLIENT; break;
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accState(VARIANT child, VARIANT* state) override {
        if (!state) return E_POINTER;
        ::VariantInit(state);
        CControlUI* control = nullptr;
        const HRESULT hr = Resolve(child, &control);
        if (FAILED(hr)) return hr;
        if (!control) return standard_ ? standard_->get_accState(child, state) : S_FALSE;
        long bits = 0;
        if (!control->IsVisible()) bits |= STATE_SYSTEM_INVISIBLE;
        if (!control->IsEnabled()) bits |= STATE_SYSTEM_UNAVAILABLE;
        if (TakesFocus(control)) bits |= STATE_SYSTEM_FOCUSABLE;
        if (control == keeper_->Focused() && HasFocus(manager_->GetPaintWindow())) bits |= STATE_SYSTEM_FOCUSED;
        const Kind kind = KindOf(control);
        if (kind == Kind::Text || kind == Kind::Progress || kind == Kind::Graphic) bits |= STATE_SYSTEM_READONLY;
        state->vt = VT_I4;
        state->lVal = bits;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accHelp(VARIANT, BSTR* out) override { return NoText(out); }
    HRESULT STDMETHODCALLTYPE get_accHelpTopic(BSTR* file, VARIANT, long* topic) override {
        if (file) *file = nullptr;
        if (topic) *topic = 0;
        return DISP_E_MEMBERNOTFOUND;
    }
    HRESULT STDMETHODCALLTYPE get_accKeyboardShortcut(VARIANT, BSTR* out) override { return NoText(out); }
    HRESULT STDMETHODCALLTYPE get_accFocus(VARIANT* focus) override {
        if (!focus) return E_POINTER;
        ::VariantInit(focus);
        if (!manager_) return RPC_E_DISCONNECTED;
        if (!HasFocus(manager_->GetPaintWindow())) return S_FALSE;
        focus->vt = VT_I4;
        focus->lVal = IdOf(keeper_->Focused());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accSelection(VARIANT* selection) override {
        if (!selection) return E_POINTER;
        ::VariantInit(selection);
        return manager_ ? S_FALSE : RPC_E_DISCONNECTED;
    }
    HRESULT STDMETHODCALLTYPE get_accDefaultAction(VARIANT child, BSTR* action) override {
        if (!action) return E_POINTER;
        *action = nullptr;
        CControlUI* control = nullptr;
        const HRESULT hr = Resolve(child, &control);
        if (FAILED(hr)) return hr;
        if (!control || KindOf(control) != Kind::Button) return DISP_E_MEMBERNOTFOUND;
        return ReturnText(kPressAction, action);
    }
    HRESULT STDMETHODCALLTYPE accSelect(long flags, VARIANT child) override {
        CControlUI* control = nullptr;
        const HRESULT hr = Resolve(child, &control);
        if (FAILED(hr)) return hr;
        if (flags != SELFLAG_TAKEFOCUS || !control) return DISP_E_MEMBERNOTFOUND;
        if (!TakesFocus(control)) return E_INVALIDARG;
        keeper_->SetFocus(control);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE accLocation(long* left, long* top, long* width, long* height, VARIANT child) override {
        if (!left || !top || !width || !height) return E_POINTER;
        CControlUI* control = nullptr;
        const HRESULT hr = Resolve(child, &control);
        if (FAILED(hr)) return hr;
        if (!control) return standard_ ? standard_->accLocation(left, top, width, height, child) : S_FALSE;
        // The rectangle clicks are tested against.
        const RECT pos = control->GetScaledPos();
        POINT corner = {pos.left, pos.top};
        if (!::ClientToScreen(manager_->GetPaintWindow(), &corner)) return E_FAIL;
        *left = corner.x;
        *top = corner.y;
        *width = pos.right - pos.left;
        *height = pos.bottom - pos.top;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE accNavigate(long direction, VARIANT start, VARIANT* end) override {
        if (!end) return E_POINTER;
        ::VariantInit(end);
        CControlUI* control = nullptr;
        const HRESULT hr = Resolve(start, &control);
        if (FAILED(hr)) return hr;
        const long count = static_cast<long>(Children(manager_).size());
        long id = 0;
        if (!control) {
            if (direction == NAVDIR_FIRSTCHILD) id = 1;
            else if (direction == NAVDIR_LASTCHILD) id = count;
            else return standard_ ? standard_->accNavigate(direction, start, end) : S_FALSE;
        } else if (direction == NAVDIR_NEXT || direction == NAVDIR_DOWN || direction == NAVDIR_RIGHT) {
            id = IdOf(control) + 1;
        } else if (direction == NAVDIR_PREVIOUS || direction == NAVDIR_UP || direction == NAVDIR_LEFT) {
            id = IdOf(control) - 1;
        }
        if (id < 1 || id > count) return S_FALSE;
        end->vt = VT_I4;
        end->lVal = id;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE accHitTest(long x, long y, VARIANT* hit) override {
        if (!hit) return E_POINTER;
        ::VariantInit(hit);
        if (!manager_) return RPC_E_DISCONNECTED;
        const HWND window = manager_->GetPaintWindow();
        POINT pt = {x, y};
        RECT client;
        if (!::ScreenToClient(window, &pt) || !::GetClientRect(window, &client)) return E_FAIL;
        if (!::PtInRect(&client, pt)) return S_FALSE;
        hit->vt = VT_I4;
        hit->lVal = CHILDID_SELF;
        // Later controls are drawn on top.
        const std::vector<CControlUI*> children = Children(manager_);
        for (size_t i = children.size(); i-- > 0;) {
            const RECT pos = children[i]->GetScaledPos();
            if (children[i]->IsVisible() && ::PtInRect(&pos, pt)) {
                hit->lVal = static_cast<long>(i + 1);
                break;
            }
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE accDoDefaultAction(VARIANT child) override {
        CControlUI* control = nullptr;
        const HRESULT hr = Resolve(child, &control);
        if (FAILED(hr)) return hr;
        if (!control || KindOf(control) != Kind::Button) return DISP_E_MEMBERNOTFOUND;
        if (!control->IsVisible() || !control->IsEnabled()) return E_FAIL;
        return ::PostMessageW(manager_->GetPaintWindow(), PressMessage(), static_cast<WPARAM>(IdOf(control)), 0)
                   ? S_OK
                   : HRESULT_FROM_WIN32(::GetLastError());
    }
    HRESULT STDMETHODCALLTYPE put_accName(VARIANT, BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_accValue(VARIANT, BSTR) override { return E_NOTIMPL; }

private:
    ~AccessibleWindow() = default;

    // The control a VARIANT child id names: null for the window itself (CHILDID_SELF).
    HRESULT Resolve(const VARIANT& child, CControlUI** control) const {
        *control = nullptr;
        if (!manager_) return RPC_E_DISCONNECTED;
        if (child.vt != VT_I4) return E_INVALIDARG;
        if (child.lVal == CHILDID_SELF) return S_OK;
        const std::vector<CControlUI*> children = Children(manager_);
        if (child.lVal < 1 || static_cast<size_t>(child.lVal) > children.size()) return E_INVALIDARG;
        *control = children[static_cast<size_t>(child.lVal - 1)];
        return S_OK;
    }

    long IdOf(const CControlUI* control) const {
        const std::vector<CControlUI*> children = Children(manager_);
        for (size_t i = 0; i < children.size(); ++i)
            if (children[i] == control) return static_cast<long>(i + 1);
        return CHILDID_SELF;
    }

    HRESULT NoText(BSTR* out) const {
        if (!out) return E_POINTER;
        *out = nullptr;
        return manager_ ? DISP_E_MEMBERNOTFOUND : RPC_E_DISCONNECTED;
    }

    LONG references_ = 1;
    CPaintManagerUI* manager_;
    FocusKeeper* keeper_;
    IAccessible* standard_;  // the system's object for the client area: parent, window name, place
};

void Announce(const CControlUI* control, DWORD event) {
    CPaintManagerUI* manager = control ? control->GetManager() : nullptr;
    if (!manager || !manager->GetPaintWindow()) return;
    const std::vector<CControlUI*> children = Children(manager);
    for (size_t i = 0; i < children.size(); ++i) {
        if (children[i] != control) continue;
        ::NotifyWinEvent(event, manager->GetPaintWindow(), OBJID_CLIENT, static_cast<LONG>(i + 1));
        return;
    }
}

LRESULT AnswerGetObject(CPaintManagerUI* manager, FocusKeeper* keeper, AccessibleWindow** object, WPARAM wParam,
                        LPARAM lParam, bool* handled) {
    *handled = false;
    if (static_cast<LONG>(lParam) != OBJID_CLIENT) return 0;
    if (!*object) {
        // The object is handed to other processes through COM; this thread is the window's for
        // good, so COM stays initialised on it.
        const HRESULT com = ::CoInitialize(nullptr);
        if (FAILED(com) && com != RPC_E_CHANGED_MODE) return 0;
        IAccessible* standard = nullptr;
        if (FAILED(VEXO_SYSTEM_CALL(OleAcc, CreateStdAccessibleObject)(manager->GetPaintWindow(), OBJID_CLIENT,
                                                                        kIidAccessible,
                                                                        reinterpret_cast<void**>(&standard))))
            standard = nullptr;
        *object = new (std::nothrow) AccessibleWindow(manager, keeper, standard);
        if (!*object) {
            if (standard) standard->Release();
            return 0;
        }
    }
    const LRESULT result = VEXO_SYSTEM_CALL(OleAcc, LresultFromObject)(kIidAccessible, wParam, *object);
    // A failure (negative) leaves the system's own answer.
    *handled = result > 0;
    return *handled ? result : 0;
}

void DisconnectAccessible(AccessibleWindow* object) {
    object->Disconnect();
    object->Release();
}

bool AccessibleClick(CPaintManagerUI* manager, UINT uMsg, WPARAM wParam) {
    if (uMsg != PressMessage() || uMsg == 0) return false;
    const std::vector<CControlUI*> children = Children(manager);
    if (wParam >= 1 && wParam <= children.size()) manager->Click(children[wParam - 1]);
    return true;
}

}  // namespace detail
}  // namespace UiLib
