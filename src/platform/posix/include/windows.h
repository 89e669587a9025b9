#pragma once
// The part of the Windows API that notara uses, for systems other than
// Windows: handles, mutexes and Sleep. Same names, signatures, constants and
// semantics as the real header; the real one is used on Windows.
//
// Threading: all functions may be called from any thread.
#include <cstdint>

using DWORD = std::uint32_t;
using UINT = unsigned int;
using BOOL = int;
using WORD = std::uint16_t;
using CHAR = char;
using LPCSTR = const char*;
using LPSTR = char*;
using LPVOID = void*;
using HANDLE = void*;
using DWORD_PTR = std::uintptr_t;
using UINT_PTR = std::uintptr_t;

/// Security attributes; only ever passed as null here.
struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#define WINAPI
#define CALLBACK

constexpr DWORD INFINITE = 0xFFFFFFFFu;
constexpr DWORD WAIT_OBJECT_0 = 0x00000000u;
constexpr DWORD WAIT_ABANDONED = 0x00000080u;
constexpr DWORD WAIT_TIMEOUT = 0x00000102u;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

/// Creates a recursive mutex, owned by the caller when `initialOwner` is
/// true; names are not supported (a non-null name fails). Null on failure,
/// with errno set.
HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCSTR name);

/// Waits for a mutex handle: INFINITE blocks, other time-outs in
/// milliseconds. WAIT_OBJECT_0 when acquired, WAIT_TIMEOUT, or WAIT_FAILED
/// with errno set (a null or unknown handle).
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);

/// Releases a mutex the calling thread owns; zero (errno set) when it does
/// not own it.
BOOL ReleaseMutex(HANDLE handle);

/// Destroys a handle made by CreateMutexA; zero for a null handle.
BOOL CloseHandle(HANDLE handle);

/// Suspends the calling thread for `milliseconds`.
void Sleep(DWORD milliseconds);
