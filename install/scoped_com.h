#pragma once
// Owners for the COM objects of the shell extraction, its only user of COM.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

// A COM interface pointer released once.
template <typename I>
class ScopedComPtr {
public:
    ScopedComPtr() = default;
    ~ScopedComPtr() { reset(); }
    ScopedComPtr(const ScopedComPtr&) = delete;
    ScopedComPtr& operator=(const ScopedComPtr&) = delete;

    I* get() const { return ptr_; }
    I* operator->() const { return ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }
    // Address for out-parameters; releases what was held first.
    I** put() {
        reset();
        return &ptr_;
    }
    void reset(I* p = nullptr) {
        if (ptr_) ptr_->Release();
        ptr_ = p;
    }

private:
    I* ptr_ = nullptr;
};

// A VARIANT, set up with VariantInit and cleared (releasing what it holds) on scope exit.
struct ScopedVariant {
    VARIANT value;
    ScopedVariant() { VariantInit(&value); }
    ~ScopedVariant() { VariantClear(&value); }
    ScopedVariant(const ScopedVariant&) = delete;
    ScopedVariant& operator=(const ScopedVariant&) = delete;
};

// COM initialised for the calling thread; uninitialised on scope exit only if it succeeded
// (which includes "already initialised" in the same apartment model).
class ScopedComInit {
public:
    explicit ScopedComInit(DWORD flags) : initialized_(SUCCEEDED(CoInitializeEx(nullptr, flags))) {}
    ~ScopedComInit() {
        if (initialized_) CoUninitialize();
    }
    ScopedComInit(const ScopedComInit&) = delete;
    ScopedComInit& operator=(const ScopedComInit&) = delete;
    bool initialized() const { return initialized_; }

private:
    bool initialized_;
};
