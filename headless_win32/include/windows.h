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

// USER32: windows, classes and dialogs
struct RECT {
  LONG left, top, right, bottom;
};
typedef RECT* LPRECT;
struct POINT {
  LONG x, y;
};
typedef POINT* LPPOINT;
struct HICON__;
struct HCURSOR__;
struct HBRUSH__;
struct HMENU__;
typedef HICON__* HICON;
typedef HCURSOR__* HCURSOR;
typedef HBRUSH__* HBRUSH;
typedef HMENU__* HMENU;

#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_CLOSE 0x0010
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

#define WS_OVERLAPPED 0x00000000L
#define WS_POPUP 0x80000000L
#define WS_CHILD 0x40000000L
#define WS_VISIBLE 0x10000000L
#define WS_CAPTION 0x00C00000L
#define WS_BORDER 0x00800000L
#define WS_DLGFRAME 0x00400000L
#define WS_GROUP 0x00020000L
#define WS_TABSTOP 0x00010000L
#define WS_OVERLAPPEDWINDOW 0x00CF0000L
#define DS_ABSALIGN 0x01L
#define DS_SETFONT 0x40L
#define WS_EX_CLIENTEDGE 0x00000200L
#define CS_VREDRAW 0x0001
#define CS_HREDRAW 0x0002
#define COLOR_WINDOW 5
#define IDC_ARROW MAKEINTRESOURCEA(32512)
#define SM_CXSCREEN 0
#define SM_CYSCREEN 1
#define SM_CYCAPTION 4
#define SM_CXBORDER 5
#define SM_CYBORDER 6
#define CW_USEDEFAULT ((int)0x80000000)

struct WNDCLASSA {
  UINT style;
  WNDPROC lpfnWndProc;
  int cbClsExtra;
  int cbWndExtra;
  HINSTANCE hInstance;
  HICON hIcon;
  HCURSOR hCursor;
  HBRUSH hbrBackground;
  LPCSTR lpszMenuName;
  LPCSTR lpszClassName;
};

struct CREATESTRUCTA {
  LPVOID lpCreateParams;
  HINSTANCE hInstance;
  HMENU hMenu;
  HWND hwndParent;
  int cy;
  int cx;
  int y;
  int x;
  LONG style;
  LPCSTR lpszName;
  LPCSTR lpszClass;
  DWORD dwExStyle;
};

HEADLESS_API LRESULT DefWindowProcA(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
HEADLESS_API ATOM RegisterClassA(const WNDCLASSA* window_class);
HEADLESS_API BOOL UnregisterClassA(LPCSTR class_name, HINSTANCE instance);
HEADLESS_API HCURSOR LoadCursorA(HINSTANCE instance, LPCSTR name);
HEADLESS_API HWND CreateWindowExA(DWORD ex_style, LPCSTR class_name, LPCSTR window_name,
                                  DWORD style, int x, int y, int width, int height, HWND parent,
                                  HMENU menu, HINSTANCE instance, LPVOID param);
HEADLESS_API BOOL DestroyWindow(HWND window);
HEADLESS_API BOOL IsWindow(HWND window);
HEADLESS_API INT_PTR DialogBoxParamA(HINSTANCE instance, LPCSTR template_name, HWND owner,
                                     DLGPROC dialog_procedure, LPARAM init_param);
HEADLESS_API BOOL EndDialog(HWND dialog, INT_PTR result);
HEADLESS_API HWND GetDlgItem(HWND dialog, int id);
HEADLESS_API int GetDlgCtrlID(HWND window);
HEADLESS_API BOOL GetClientRect(HWND window, LPRECT rect);
HEADLESS_API BOOL GetWindowRect(HWND window, LPRECT rect);
HEADLESS_API BOOL MoveWindow(HWND window, int x, int y, int width, int height, BOOL repaint);
HEADLESS_API int GetSystemMetrics(int index);
HEADLESS_API LRESULT SendMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// GDI32: device contexts and bitmaps
#define HGDI_ERROR ((HGDIOBJ)(LONG_PTR)-1)
#define CLR_INVALID 0xFFFFFFFF
HEADLESS_API HDC GetDC(HWND window);
HEADLESS_API int ReleaseDC(HWND window, HDC dc);
HEADLESS_API HDC CreateCompatibleDC(HDC dc);
HEADLESS_API BOOL DeleteDC(HDC dc);
HEADLESS_API HBITMAP CreateBitmap(int width, int height, UINT planes, UINT bits_per_pixel,
                                  const void* bits);
HEADLESS_API HGDIOBJ SelectObject(HDC dc, HGDIOBJ object);
HEADLESS_API BOOL DeleteObject(HGDIOBJ object);

// GDI32: device-independent bitmaps
#define BI_RGB 0L
#define DIB_RGB_COLORS 0
struct BITMAPINFOHEADER {
  DWORD biSize;
  LONG biWidth;
  LONG biHeight;
  WORD biPlanes;
  WORD biBitCount;
  DWORD biCompression;
  DWORD biSizeImage;
  LONG biXPelsPerMeter;
  LONG biYPelsPerMeter;
  DWORD biClrUsed;
  DWORD biClrImportant;
};
struct RGBQUAD {
  BYTE rgbBlue, rgbGreen, rgbRed, rgbReserved;
};
struct BITMAPINFO {
  BITMAPINFOHEADER bmiHeader;
  RGBQUAD bmiColors[1];
};
// Draws scan lines of a 24-bit DIB (bottom-up when the height is positive) at (x, y).
HEADLESS_API int SetDIBitsToDevice(HDC dc, int x, int y, DWORD width, DWORD height, int source_x,
                                   int source_y, UINT start_scan, UINT lines, const void* bits,
                                   const BITMAPINFO* info, UINT usage);
