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
typedef INT* LPINT;
typedef char CHAR;
typedef CHAR* LPSTR;
typedef const CHAR* LPCSTR;
typedef wchar_t WCHAR;
typedef const WCHAR* LPCWSTR;
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
#define MAKELONG(a, b) \
  ((LONG)(((WORD)(((ULONG_PTR)(a)) & 0xffff)) | ((DWORD)((WORD)(((ULONG_PTR)(b)) & 0xffff))) << 16))
#define MAKEWPARAM(l, h) ((WPARAM)(DWORD)MAKELONG(l, h))
#define MAKELPARAM(l, h) ((LPARAM)(DWORD)MAKELONG(l, h))
#define MAKELRESULT(l, h) ((LRESULT)(DWORD)MAKELONG(l, h))

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
struct HMENU__;
typedef HICON__* HICON;
typedef HCURSOR__* HCURSOR;
// Brushes and pens are GDI objects: they go to SelectObject and DeleteObject as they are.
typedef HGDIOBJ HBRUSH;
typedef HGDIOBJ HPEN;
typedef HMENU__* HMENU;

#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_CLOSE 0x0010
#define WM_PAINT 0x000F
#define WM_ERASEBKGND 0x0014
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
HEADLESS_API HWND GetParent(HWND window);
HEADLESS_API BOOL ScreenToClient(HWND window, LPPOINT point);
HEADLESS_API BOOL ClientToScreen(HWND window, LPPOINT point);
HEADLESS_API BOOL SetWindowTextA(HWND window, LPCSTR text);
// The wide-character forms: the text as Unicode code points (stored as UTF-8).
HEADLESS_API BOOL SetWindowTextW(HWND window, LPCWSTR text);
// The ANSI code page (936 unless a test sets another: headless::set_code_page).
HEADLESS_API UINT GetACP();
HEADLESS_API int GetWindowTextA(HWND window, LPSTR buffer, int buffer_max);
HEADLESS_API int GetWindowTextLengthA(HWND window);

// USER32: messages for the standard controls
#define WM_SETFOCUS 0x0007
#define WM_KILLFOCUS 0x0008
#define WM_SETTEXT 0x000C
#define WM_GETTEXT 0x000D
#define WM_GETTEXTLENGTH 0x000E
#define WM_NEXTDLGCTL 0x0028
#define WM_VSCROLL 0x0115
#define WM_CAPTURECHANGED 0x0215
#define MK_LBUTTON 0x0001
#define BS_PUSHBUTTON 0x00000000L
#define BS_DEFPUSHBUTTON 0x00000001L
#define BS_CHECKBOX 0x00000002L
#define BS_AUTOCHECKBOX 0x00000003L
#define BS_RADIOBUTTON 0x00000004L
#define BS_3STATE 0x00000005L
#define BS_AUTO3STATE 0x00000006L
#define BS_GROUPBOX 0x00000007L
#define BS_AUTORADIOBUTTON 0x00000009L
#define BS_TYPEMASK 0x0000000FL
#define BM_GETCHECK 0x00F0
#define BM_SETCHECK 0x00F1
#define BM_CLICK 0x00F5
#define BST_UNCHECKED 0x0000
#define BST_CHECKED 0x0001
#define BST_INDETERMINATE 0x0002
#define BN_CLICKED 0
#define ES_LEFT 0x0000L
#define EM_GETSEL 0x00B0
#define EM_SETSEL 0x00B1
#define EM_LIMITTEXT 0x00C5
#define EM_SETLIMITTEXT EM_LIMITTEXT
#define EM_GETLIMITTEXT 0x00D5
#define EN_SETFOCUS 0x0100
#define EN_KILLFOCUS 0x0200
#define EN_CHANGE 0x0300
#define EN_UPDATE 0x0400
#define EN_MAXTEXT 0x0501
#define SS_LEFT 0x00000000L
#define SS_RIGHT 0x00000002L
#define SBS_HORZ 0x0000L
#define SBS_VERT 0x0001L
#define SB_HORZ 0
#define SB_VERT 1
#define SB_CTL 2
#define SB_LINELEFT 0
#define SB_LINERIGHT 1
#define SB_PAGELEFT 2
#define SB_PAGERIGHT 3
#define SB_THUMBPOSITION 4
#define SB_THUMBTRACK 5
#define SB_LEFT 6
#define SB_RIGHT 7
#define SB_ENDSCROLL 8
HEADLESS_API LRESULT SendDlgItemMessageA(HWND dialog, int id, UINT message, WPARAM wparam,
                                         LPARAM lparam);
HEADLESS_API BOOL SetDlgItemTextA(HWND dialog, int id, LPCSTR text);
HEADLESS_API BOOL SetDlgItemTextW(HWND dialog, int id, LPCWSTR text);
HEADLESS_API UINT GetDlgItemTextA(HWND dialog, int id, LPSTR buffer, int buffer_max);
HEADLESS_API BOOL SetDlgItemInt(HWND dialog, int id, UINT value, BOOL is_signed);
HEADLESS_API UINT GetDlgItemInt(HWND dialog, int id, BOOL* translated, BOOL is_signed);
HEADLESS_API BOOL CheckDlgButton(HWND dialog, int id, UINT check);
HEADLESS_API UINT IsDlgButtonChecked(HWND dialog, int id);
HEADLESS_API BOOL CheckRadioButton(HWND dialog, int first_id, int last_id, int check_id);
HEADLESS_API int SetScrollPos(HWND window, int bar, int position, BOOL redraw);
HEADLESS_API int GetScrollPos(HWND window, int bar);
HEADLESS_API BOOL SetScrollRange(HWND window, int bar, int min, int max, BOOL redraw);
HEADLESS_API BOOL GetScrollRange(HWND window, int bar, LPINT min, LPINT max);

// USER32: focus, mouse capture, painting, timers and the message queue
struct PAINTSTRUCT {
  HDC hdc;
  BOOL fErase;
  RECT rcPaint;
  BOOL fRestore;
  BOOL fIncUpdate;
  BYTE rgbReserved[32];
};
typedef PAINTSTRUCT* LPPAINTSTRUCT;
struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
};
typedef MSG* LPMSG;
typedef void(CALLBACK* TIMERPROC)(HWND, UINT, UINT_PTR, DWORD);
#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001
#define USER_TIMER_MINIMUM 0x0000000A
HEADLESS_API HWND SetFocus(HWND window);
HEADLESS_API HWND GetFocus(void);
HEADLESS_API HWND SetCapture(HWND window);
HEADLESS_API BOOL ReleaseCapture(void);
HEADLESS_API HWND GetCapture(void);
HEADLESS_API BOOL InvalidateRect(HWND window, const RECT* rect, BOOL erase);
HEADLESS_API BOOL ValidateRect(HWND window, const RECT* rect);
HEADLESS_API BOOL UpdateWindow(HWND window);
HEADLESS_API HDC BeginPaint(HWND window, LPPAINTSTRUCT paint);
HEADLESS_API BOOL EndPaint(HWND window, const PAINTSTRUCT* paint);
HEADLESS_API UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse_ms, TIMERPROC procedure);
HEADLESS_API BOOL KillTimer(HWND window, UINT_PTR id);
HEADLESS_API BOOL PeekMessageA(LPMSG message, HWND window, UINT first, UINT last, UINT remove);

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
// Replaces a bitmap's bits (rows of whole 16-bit words); returns the bytes taken.
HEADLESS_API LONG SetBitmapBits(HBITMAP bitmap, DWORD count, const void* bits);
HEADLESS_API BOOL DeleteObject(HGDIOBJ object);
#define BITSPIXEL 12
#define PLANES 14
// BITSPIXEL and PLANES give the display's depth (headless::set_display_depth); other
// indices, and unknown DCs, give 0.
HEADLESS_API int GetDeviceCaps(HDC dc, int index);

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

// GDI32: drawing
#define RGB(r, g, b) \
  ((COLORREF)(((BYTE)(r) | ((WORD)((BYTE)(g)) << 8)) | (((DWORD)(BYTE)(b)) << 16)))
#define GetRValue(rgb) ((BYTE)(rgb))
#define GetGValue(rgb) ((BYTE)(((WORD)(rgb)) >> 8))
#define GetBValue(rgb) ((BYTE)((rgb) >> 16))
#define WHITE_BRUSH 0
#define LTGRAY_BRUSH 1
#define GRAY_BRUSH 2
#define DKGRAY_BRUSH 3
#define BLACK_BRUSH 4
#define NULL_BRUSH 5
#define HOLLOW_BRUSH NULL_BRUSH
#define WHITE_PEN 6
#define BLACK_PEN 7
#define NULL_PEN 8
#define PS_SOLID 0
#define PS_NULL 5
#define R2_BLACK 1
#define R2_NOTMERGEPEN 2
#define R2_MASKNOTPEN 3
#define R2_NOTCOPYPEN 4
#define R2_MASKPENNOT 5
#define R2_NOT 6
#define R2_XORPEN 7
#define R2_NOTMASKPEN 8
#define R2_MASKPEN 9
#define R2_NOTXORPEN 10
#define R2_NOP 11
#define R2_MERGENOTPEN 12
#define R2_COPYPEN 13
#define R2_MERGEPENNOT 14
#define R2_MERGEPEN 15
#define R2_WHITE 16
#define SRCCOPY (DWORD)0x00CC0020
#define SRCPAINT (DWORD)0x00EE0086
#define SRCAND (DWORD)0x008800C6
#define SRCINVERT (DWORD)0x00660046
#define SRCERASE (DWORD)0x00440328
#define NOTSRCCOPY (DWORD)0x00330008
#define NOTSRCERASE (DWORD)0x001100A6
#define MERGEPAINT (DWORD)0x00BB0226
#define DSTINVERT (DWORD)0x00550009
#define PATCOPY (DWORD)0x00F00021
#define PATINVERT (DWORD)0x005A0049
#define BLACKNESS (DWORD)0x00000042
#define WHITENESS (DWORD)0x00FF0062
// Solid pens one pixel wide (width 0 or 1) or two pixels wide (round ends, as Windows makes
// them), and PS_NULL pens; other styles and widths fail.
HEADLESS_API HPEN CreatePen(int style, int width, COLORREF colour);
HEADLESS_API HBRUSH CreateSolidBrush(COLORREF colour);
// The brushes and pens above; other indices give null.
HEADLESS_API HGDIOBJ GetStockObject(int index);
HEADLESS_API int SetROP2(HDC dc, int mode);
HEADLESS_API int GetROP2(HDC dc);
HEADLESS_API COLORREF SetBkColor(HDC dc, COLORREF colour);
HEADLESS_API COLORREF GetBkColor(HDC dc);
HEADLESS_API COLORREF SetTextColor(HDC dc, COLORREF colour);
HEADLESS_API COLORREF GetTextColor(HDC dc);
HEADLESS_API BOOL MoveToEx(HDC dc, int x, int y, LPPOINT old_position);
HEADLESS_API BOOL GetCurrentPositionEx(HDC dc, LPPOINT position);
HEADLESS_API BOOL LineTo(HDC dc, int x, int y);
HEADLESS_API int FillRect(HDC dc, const RECT* rect, HBRUSH brush);
// Any raster operation (the pattern is the DC's brush, which must not be the null brush).
HEADLESS_API BOOL BitBlt(HDC dc, int x, int y, int width, int height, HDC source_dc, int source_x,
                         int source_y, DWORD rop);
