// The COM objects the launcher hands to the WebView2 runtime: its own environment options and
// the three callback handlers, each forwarding Invoke to a plain function.
#pragma once

#include <windows.h>

#include <atomic>
#include <optional>
#include <string>

#include "platform/win32/webview2.h"
#include "platform/win32/win32_handles.h"

namespace km::win32 {

// The browser version the page is written against, and the one browser switch it needs.
inline constexpr wchar_t target_browser_version[] = L"129.0.2792.45";
inline constexpr wchar_t additional_browser_arguments[] =
    L"--autoplay-policy=no-user-gesture-required";

// IUnknown for an object that offers one interface: reference counting, and QueryInterface
// answering IUnknown and that interface's IID only.
template <typename Interface, const GUID& interface_id>
class ComObject : public Interface {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (!object)
            return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, interface_id)) {
            *object = static_cast<Interface*>(this);
            this->AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references_;
        if (left == 0)
            delete this;
        return left;
    }

  protected:
    ComObject() = default;
    virtual ~ComObject() = default;

  private:
    std::atomic<ULONG> references_{1};
};

// Options as the runtime expects them: each get_ hands out a fresh CoTaskMemAlloc copy (null
// when the option was never set), each put_ keeps a copy. The target version starts at
// target_browser_version; every other option starts unset or FALSE.
class EnvironmentOptions final
    : public ComObject<ICoreWebView2EnvironmentOptions, IID_ICoreWebView2EnvironmentOptions> {
  public:
    static com_ptr<ICoreWebView2EnvironmentOptions> create();

    HRESULT STDMETHODCALLTYPE get_AdditionalBrowserArguments(LPWSTR* value) override;
    HRESULT STDMETHODCALLTYPE put_AdditionalBrowserArguments(LPCWSTR value) override;
    HRESULT STDMETHODCALLTYPE get_Language(LPWSTR* value) override;
    HRESULT STDMETHODCALLTYPE put_Language(LPCWSTR value) override;
    HRESULT STDMETHODCALLTYPE get_TargetCompatibleBrowserVersion(LPWSTR* value) override;
    HRESULT STDMETHODCALLTYPE put_TargetCompatibleBrowserVersion(LPCWSTR value) override;
    HRESULT STDMETHODCALLTYPE get_AllowSingleSignOnUsingOSPrimaryAccount(BOOL* allow) override;
    HRESULT STDMETHODCALLTYPE put_AllowSingleSignOnUsingOSPrimaryAccount(BOOL allow) override;

  private:
    EnvironmentOptions() = default;

    std::optional<std::wstring> additional_arguments_;
    std::optional<std::wstring> language_;
    std::optional<std::wstring> target_version_{target_browser_version};
    BOOL allow_single_sign_on_ = FALSE;
};

// The three handlers: each forwards Invoke to a plain function. An exception never reaches the
// runtime; it becomes E_UNEXPECTED.
using EnvironmentCompletedFn = HRESULT (*)(HRESULT, ICoreWebView2Environment*);
using ControllerCompletedFn = HRESULT (*)(HRESULT, ICoreWebView2Controller*);
using WebMessageReceivedFn = HRESULT (*)(ICoreWebView2*, ICoreWebView2WebMessageReceivedEventArgs*);

class EnvironmentCompletedHandler final
    : public ComObject<ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler,
                       IID_ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler> {
  public:
    static com_ptr<ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler> create(
        EnvironmentCompletedFn function);
    HRESULT STDMETHODCALLTYPE Invoke(HRESULT result,
                                     ICoreWebView2Environment* environment) override;

  private:
    explicit EnvironmentCompletedHandler(EnvironmentCompletedFn function) : function_(function) {}
    EnvironmentCompletedFn function_;
};

class ControllerCompletedHandler final
    : public ComObject<ICoreWebView2CreateCoreWebView2ControllerCompletedHandler,
                       IID_ICoreWebView2CreateCoreWebView2ControllerCompletedHandler> {
  public:
    static com_ptr<ICoreWebView2CreateCoreWebView2ControllerCompletedHandler> create(
        ControllerCompletedFn function);
    HRESULT STDMETHODCALLTYPE Invoke(HRESULT result, ICoreWebView2Controller* controller) override;

  private:
    explicit ControllerCompletedHandler(ControllerCompletedFn function) : function_(function) {}
    ControllerCompletedFn function_;
};

class WebMessageReceivedHandler final
    : public ComObject<ICoreWebView2WebMessageReceivedEventHandler,
                       IID_ICoreWebView2WebMessageReceivedEventHandler> {
  public:
    static com_ptr<ICoreWebView2WebMessageReceivedEventHandler> create(
        WebMessageReceivedFn function);
    HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2* sender,
                                     ICoreWebView2WebMessageReceivedEventArgs* args) override;

  private:
    explicit WebMessageReceivedHandler(WebMessageReceivedFn function) : function_(function) {}
    WebMessageReceivedFn function_;
};

}  // namespace km::win32
