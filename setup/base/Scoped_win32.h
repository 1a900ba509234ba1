#pragma once
#include <windows.h>
#include <bcrypt.h>
#include <objbase.h>
#include <ole2.h>
#include <winhttp.h>

#include <memory>

// Owned Windows handles, closed on every path when they go out of scope.

struct KernelHandleCloser {
    void operator()(HANDLE handle) const
    {
        if (handle && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }
};
// A process, thread, job, pipe or file handle.
using ScopedHandle = std::unique_ptr<void, KernelHandleCloser>;

// A file handle: CreateFileW reports failure as INVALID_HANDLE_VALUE, which is never owned.
inline ScopedHandle OwnFile(HANDLE handle)
{
    return ScopedHandle(handle == INVALID_HANDLE_VALUE ? nullptr : handle);
}

struct InternetHandleCloser {
    void operator()(HINTERNET handle) const { WinHttpCloseHandle(handle); }
};
// A WinHTTP session, connection or request.
using ScopedInternet = std::unique_ptr<void, InternetHandleCloser>;

struct RegistryKeyCloser {
    void operator()(HKEY key) const { RegCloseKey(key); }
};
// An open registry key.
using ScopedRegistryKey = std::unique_ptr<std::remove_pointer_t<HKEY>, RegistryKeyCloser>;

struct AlgorithmCloser {
    void operator()(BCRYPT_ALG_HANDLE provider) const { BCryptCloseAlgorithmProvider(provider, 0); }
};
// An open CNG algorithm provider.
using ScopedAlgorithm = std::unique_ptr<void, AlgorithmCloser>;

struct KeyDestroyer {
    void operator()(BCRYPT_KEY_HANDLE key) const { BCryptDestroyKey(key); }
};
// A CNG key object.
using ScopedKey = std::unique_ptr<void, KeyDestroyer>;

struct HashDestroyer {
    void operator()(BCRYPT_HASH_HANDLE hash) const { BCryptDestroyHash(hash); }
};
// A CNG hash object.
using ScopedHash = std::unique_ptr<void, HashDestroyer>;

struct ComReleaser {
    void operator()(IUnknown* object) const { object->Release(); }
};
// A COM interface pointer, released once.
template <typename Interface>
using ScopedCom = std::unique_ptr<Interface, ComReleaser>;

// OLE for the current thread, apartment-threaded, for as long as this lives: the folder browser's
// new dialog style needs it on the thread that shows the dialog.
struct OleApartment {
    HRESULT result = OleInitialize(nullptr);
    OleApartment() = default;
    OleApartment(const OleApartment&) = delete;
    OleApartment& operator=(const OleApartment&) = delete;
    ~OleApartment()
    {
        if (SUCCEEDED(result)) OleUninitialize();
    }
};

// COM for the current thread, for as long as this lives.
struct ComApartment {
    HRESULT result = CoInitialize(nullptr);
    ComApartment() = default;
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    ~ComApartment()
    {
        if (SUCCEEDED(result)) CoUninitialize();
    }
};
