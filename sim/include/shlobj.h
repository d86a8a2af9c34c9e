// The shell's known folders, as far as PX71 uses them.
#pragma once

#include <windows.h>

typedef LONG HRESULT;
#define S_OK ((HRESULT)0)
#define E_INVALIDARG ((HRESULT)0x80070057L)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)
#define HRESULT_FROM_WIN32(x) \
    ((HRESULT)(x) <= 0 ? ((HRESULT)(x)) : ((HRESULT)(((x) & 0x0000FFFF) | (7 << 16) | 0x80000000)))

typedef GUID KNOWNFOLDERID;
typedef const KNOWNFOLDERID& REFKNOWNFOLDERID;
extern "C" const KNOWNFOLDERID FOLDERID_ProgramFiles;  // {905E63B6-C1BF-494E-B29C-65B732D3D21A}
#define KF_FLAG_DEFAULT 0x00000000

// The folder's path in memory the caller frees with CoTaskMemFree, whether the call
// succeeded or not.
extern "C" HRESULT WINAPI SHGetKnownFolderPath(REFKNOWNFOLDERID id, DWORD flags, HANDLE token, PWSTR* path);
extern "C" void WINAPI CoTaskMemFree(LPVOID block);
