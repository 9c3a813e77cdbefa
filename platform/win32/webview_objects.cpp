#include "platform/win32/webview_objects.h"

#include <cstring>
#include <new>

namespace km::win32 {
namespace {

// A CoTaskMemAlloc copy for the caller to free, or null for an unset option.
HRESULT hand_out(const std::optional<std::wstring>& value, LPWSTR* out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (!value)
        return S_OK;
    const std::size_t bytes = (value->size() + 1) * sizeof(wchar_t);
    auto* copy = static_cast<wchar_t*>(CoTaskMemAlloc(bytes));
    if (!copy)
        return E_OUTOFMEMORY;
    std::memcpy(copy, value->c_str(), bytes);
    *out = copy;
    return S_OK;
}

HRESULT keep(LPCWSTR value, std::optional<std::wstring>& slot) {
    try {
        if (value)
            slot = std::wstring(value);
        else
            slot.reset();
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace

com_ptr<ICoreWebView2EnvironmentOptions> EnvironmentOptions::create() {
    return com_ptr<ICoreWebView2EnvironmentOptions>(new (std::nothrow) EnvironmentOptions());
}

HRESULT EnvironmentOptions::get_AdditionalBrowserArguments(LPWSTR* value) {
    return hand_out(additional_arguments_, value);
}
HRESULT EnvironmentOptions::put_AdditionalBrowserArguments(LPCWSTR value) {
    return keep(value, additional_arguments_);
}
HRESULT EnvironmentOptions::get_Language(LPWSTR* value) {
    return hand_out(language_, value);
}
HRESULT EnvironmentOptions::put_Language(LPCWSTR value) {
    return keep(value, language_);
}
HRESULT EnvironmentOptions::get_TargetCompatibleBrowserVersion(LPWSTR* value) {
    return hand_out(target_version_, value);
}
HRESULT EnvironmentOptions::put_TargetCompatibleBrowserVersion(LPCWSTR value) {
    return keep(value, target_version_);
}
HRESULT EnvironmentOptions::get_AllowSingleSignOnUsingOSPrimaryAccount(BOOL* allow) {
    if (!allow)
        return E_POINTER;
    *allow = allow_single_sign_on_;
    return S_OK;
}
HRESULT EnvironmentOptions::put_AllowSingleSignOnUsingOSPrimaryAccount(BOOL allow) {
    allow_single_sign_on_ = allow;
    return S_OK;
}

com_ptr<ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler>
EnvironmentCompletedHandler::create(EnvironmentCompletedFn function) {
    return com_ptr<ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler>(
        new (std::nothrow) EnvironmentCompletedHandler(function));
}
HRESULT EnvironmentCompletedHandler::Invoke(HRESULT result, ICoreWebView2Environment* environment) {
    try {
        return function_(result, environment);
    } catch (...) {
        return E_UNEXPECTED;
    }
}

com_ptr<ICoreWebView2CreateCoreWebView2ControllerCompletedHandler>
ControllerCompletedHandler::create(ControllerCompletedFn function) {
    return com_ptr<ICoreWebView2CreateCoreWebView2ControllerCompletedHandler>(
        new (std::nothrow) ControllerCompletedHandler(function));
}
HRESULT ControllerCompletedHandler::Invoke(HRESULT result, ICoreWebView2Controller* controller) {
    try {
        return function_(result, controller);
    } catch (...) {
        return E_UNEXPECTED;
    }
}

com_ptr<ICoreWebView2WebMessageReceivedEventHandler> WebMessageReceivedHandler::create(
    WebMessageReceivedFn function) {
    return com_ptr<ICoreWebView2WebMessageReceivedEventHandler>(
        new (std::nothrow) WebMessageReceivedHandler(function));
}
HRESULT WebMessageReceivedHandler::Invoke(ICoreWebView2* sender,
                                          ICoreWebView2WebMessageReceivedEventArgs* args) {
    try {
        return function_(sender, args);
    } catch (...) {
        return E_UNEXPECTED;
    }
}

}  // namespace km::win32
