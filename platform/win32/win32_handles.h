// Owners for the Win32 and COM resources the launcher holds: each releases its resource in its
// destructor, and none can be copied, so a resource is released exactly once.
#pragma once

#include <objbase.h>
#include <windows.h>

#include <utility>

namespace km::win32 {

// One counted COM reference.
template <typename T>
class com_ptr {
  public:
    com_ptr() = default;
    // Takes over a reference the caller already owns (an out-parameter's, or a `new` object's).
    explicit com_ptr(T* owned) : ptr_(owned) {}
    com_ptr(const com_ptr&) = delete;
    com_ptr& operator=(const com_ptr&) = delete;
    com_ptr(com_ptr&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    com_ptr& operator=(com_ptr&& other) noexcept {
        if (this != &other)
            reset(std::exchange(other.ptr_, nullptr));
        return *this;
    }
    ~com_ptr() { reset(); }

    // Adds a reference of our own to a pointer someone else owns (a callback's argument).
    static com_ptr share(T* borrowed) {
        if (borrowed)
            borrowed->AddRef();
        return com_ptr(borrowed);
    }

    void reset(T* owned = nullptr) {
        T* old = std::exchange(ptr_, owned);
        if (old)
            old->Release();
    }
    // For out-parameters: drops the current reference and hands out the slot.
    T** put() {
        reset();
        return &ptr_;
    }
    T* get() const { return ptr_; }
    T* operator->() const { return ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }

  private:
    T* ptr_ = nullptr;
};

// A kernel handle closed with CloseHandle; both null and INVALID_HANDLE_VALUE mean none.
class unique_handle {
  public:
    unique_handle() = default;
    explicit unique_handle(HANDLE owned) : handle_(owned) {}
    unique_handle(const unique_handle&) = delete;
    unique_handle& operator=(const unique_handle&) = delete;
    unique_handle(unique_handle&& other) noexcept
        : handle_(std::exchange(other.handle_, nullptr)) {}
    unique_handle& operator=(unique_handle&& other) noexcept {
        if (this != &other) {
            close();
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }
    ~unique_handle() { close(); }

    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    void close() {
        if (valid())
            CloseHandle(handle_);
        handle_ = nullptr;
    }

  private:
    HANDLE handle_ = nullptr;
};

// A DLL loaded at run time, freed with FreeLibrary.
class native_library {
  public:
    native_library() = default;
    explicit native_library(HMODULE owned) : module_(owned) {}
    native_library(const native_library&) = delete;
    native_library& operator=(const native_library&) = delete;
    native_library(native_library&& other) noexcept
        : module_(std::exchange(other.module_, nullptr)) {}
    native_library& operator=(native_library&& other) noexcept {
        if (this != &other) {
            if (module_)
                FreeLibrary(module_);
            module_ = std::exchange(other.module_, nullptr);
        }
        return *this;
    }
    ~native_library() {
        if (module_)
            FreeLibrary(module_);
    }

    HMODULE get() const { return module_; }
    explicit operator bool() const { return module_ != nullptr; }

    // The entry point `name` as a function pointer of type F; null when it is not exported.
    template <typename F>
    F entry(const char* name) const {
        if (!module_)
            return nullptr;
        return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
    }

  private:
    HMODULE module_ = nullptr;
};

// A string the callee allocated with CoTaskMemAlloc, freed with CoTaskMemFree.
class co_task_string {
  public:
    co_task_string() = default;
    co_task_string(const co_task_string&) = delete;
    co_task_string& operator=(const co_task_string&) = delete;
    ~co_task_string() { CoTaskMemFree(text_); }

    LPWSTR* put() {
        CoTaskMemFree(text_);
        text_ = nullptr;
        return &text_;
    }
    const wchar_t* get() const { return text_; }

  private:
    LPWSTR text_ = nullptr;
};

}  // namespace km::win32
