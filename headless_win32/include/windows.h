// The subset of the Win32 API that the module and the host use, for builds that are not
// Windows. Types have their Windows widths (LONG is 32-bit). Behaviour lives in the
// headless_win32 library; what tests can observe is in headless.h.
#pragma once

#include <cstddef>
#include <cstdint>

#define WINAPI
#define CALLBACK
#define APIENTRY
#define HEADLESS_API extern "C" __attribute__((visibility("default")))

typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef unsigned int UINT;
typedef int INT;
typedef char CHAR;
typedef CHAR* LPSTR;
typedef const CHAR* LPCSTR;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef intptr_t INT_PTR;
typedef uintptr_t UINT_PTR;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef ULONG_PTR SIZE_T;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;
typedef WORD ATOM;
typedef DWORD COLORREF;

struct HWND__;
struct HINSTANCE__;
struct HDC__;
struct HGDIOBJ__;
struct HRSRC__;
typedef void* HANDLE;
typedef HANDLE HGLOBAL;
typedef HWND__* HWND;
typedef HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef HDC__* HDC;
typedef HGDIOBJ__* HGDIOBJ;
typedef HGDIOBJ HBITMAP;
typedef HRSRC__* HRSRC;

#define TRUE 1
#define FALSE 0

#define MAKEINTRESOURCEA(i) ((LPSTR)((ULONG_PTR)((WORD)(i))))
#define IS_INTRESOURCE(r) ((((ULONG_PTR)(r)) >> 16) == 0)
#define RT_STRING MAKEINTRESOURCEA(6)
#define RT_DIALOG MAKEINTRESOURCEA(5)
#define LOWORD(l) ((WORD)(((ULONG_PTR)(l)) & 0xffff))
#define HIWORD(l) ((WORD)((((ULONG_PTR)(l)) >> 16) & 0xffff))

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1

// KERNEL32: global memory
#define GMEM_FIXED 0x0000
#define GMEM_MOVEABLE 0x0002
#define GMEM_ZEROINIT 0x0040
#define GHND (GMEM_MOVEABLE | GMEM_ZEROINIT)
HEADLESS_API HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes);
HEADLESS_API LPVOID GlobalLock(HGLOBAL mem);
HEADLESS_API BOOL GlobalUnlock(HGLOBAL mem);
HEADLESS_API HGLOBAL GlobalFree(HGLOBAL mem);
HEADLESS_API SIZE_T GlobalSize(HGLOBAL mem);
HEADLESS_API DWORD GetLastError(void);

// KERNEL32: modules and resources
HEADLESS_API HMODULE LoadLibraryA(LPCSTR path);
HEADLESS_API BOOL FreeLibrary(HMODULE module);
HEADLESS_API void* GetProcAddress(HMODULE module, LPCSTR name);
HEADLESS_API HMODULE GetModuleHandleA(LPCSTR name);
HEADLESS_API HRSRC FindResourceA(HMODULE module, LPCSTR name, LPCSTR type);
HEADLESS_API HGLOBAL LoadResource(HMODULE module, HRSRC resource);
HEADLESS_API DWORD SizeofResource(HMODULE module, HRSRC resource);
HEADLESS_API LPVOID LockResource(HGLOBAL resource);
HEADLESS_API int LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int buffer_max);

// USER32: message boxes
#define MB_OK 0x00000000
#define MB_ICONINFORMATION 0x00000040
#define IDOK 1
#define IDCANCEL 2
HEADLESS_API int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
HEADLESS_API BOOL MessageBeep(UINT type);

// USER32: windows and dialogs
#define WM_PAINT 0x000F
#define WM_INITDIALOG 0x0110
#define WM_COMMAND 0x0111
#define WM_TIMER 0x0113
#define WM_HSCROLL 0x0114
#define WM_MOUSEMOVE 0x0200
#define WM_LBUTTONDOWN 0x0201
#define WM_LBUTTONUP 0x0202
typedef LRESULT(CALLBACK* WNDPROC)(HWND, UINT, WPARAM, LPARAM);
typedef INT_PTR(CALLBACK* DLGPROC)(HWND, UINT, WPARAM, LPARAM);
HEADLESS_API LRESULT DefWindowProcA(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
