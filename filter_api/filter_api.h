// Our own declarations of the Photoshop filter-module host interface (filter interface 4.0
// and the later fields real hosts fill): records, selectors, result codes, image modes.
// The records are declared once as templates over a pointer policy so that the x86 and the
// x64 layouts can both be checked at compile time on any build; the native record is the
// one instantiated with real pointer types. No code here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace filter_api {

using int16 = std::int16_t;
using int32 = std::int32_t;
using int64 = std::int64_t;
using uint8 = std::uint8_t;
using uint16 = std::uint16_t;
using uint32 = std::uint32_t;
using Boolean = std::uint8_t;  // 1 byte; test != 0
using OSErr = std::int16_t;
using OSType = std::uint32_t;  // four-character code, '8BIM' = 0x3842494D
using Fixed = std::int32_t;    // 16.16

struct Point {
  int16 v, h;
};
struct Rect {
  int16 top, left, bottom, right;
};
struct VRect {
  int32 top, left, bottom, right;
};
struct RGBColor {
  uint16 red, green, blue;
};
using FilterColor = uint8[4];
struct PlugInMonitor {
  Fixed gamma, redX, redY, greenX, greenY, blueX, blueY, whiteX, whiteY, ambient;
};

// Four-character code from its text, e.g. fourcc("8BIM") == 0x3842494D.
constexpr OSType fourcc(const char (&text)[5]) {
  return (OSType(uint8(text[0])) << 24) | (OSType(uint8(text[1])) << 16) |
         (OSType(uint8(text[2])) << 8) | OSType(uint8(text[3]));
}

// Selectors (int16).
enum : int16 {
  filterSelectorAbout = 0,
  filterSelectorParameters = 1,
  filterSelectorPrepare = 2,
  filterSelectorStart = 3,
  filterSelectorContinue = 4,
  filterSelectorFinish = 5,
};

// Result codes (int16 written to *result).
enum : int16 {
  noErr = 0,
  memFullErr = -108,
  userCanceledErr = -128,
  filterBadParameters = -30100,
  filterBadMode = -30101,
  errReportString = -30904,
};

// Image modes (imageMode, int16).
enum : int16 {
  plugInModeBitmap = 0,
  plugInModeGrayScale = 1,
  plugInModeIndexedColor = 2,
  plugInModeRGBColor = 3,
  plugInModeCMYKColor = 4,
  plugInModeHSLColor = 5,
  plugInModeHSBColor = 6,
  plugInModeMultichannel = 7,
  plugInModeDuotone = 8,
  plugInModeLabColor = 9,
};

// The colour planes of a mode the filter takes: one for gray, multichannel and duotone, four
// for CMYK, three for the rest (RGB, and Lab as the filter treats it).
constexpr int32 color_planes_of(int16 mode) {
  return mode == plugInModeGrayScale || mode == plugInModeMultichannel || mode == plugInModeDuotone
             ? 1
         : mode == plugInModeCMYKColor ? 4
                                       : 3;
}

// Filter cases (filterCase, int16; index + 1 of the fici records).
enum : int16 {
  filterCaseFlatImageNoSelection = 1,
  filterCaseFlatImageWithSelection = 2,
  filterCaseFloatingSelection = 3,
  filterCaseEditableTransparencyNoSelection = 4,
  filterCaseEditableTransparencyWithSelection = 5,
  filterCaseProtectedTransparencyNoSelection = 6,
  filterCaseProtectedTransparencyWithSelection = 7,
};

// fici flags1 bits.
enum : uint8 {
  PIFilterDontCopyToDestination = 0x01,
  PIFilterWorksWithBlankData = 0x02,
  PIFilterFiltersLayerMask = 0x04,
  PIFilterWritesOutsideSelection = 0x08,
};

struct PSPixelMap;
struct PSPixelMask;

// Pointer policies: the native one with real types, and two that stand for a 32-bit and a
// 64-bit Windows pointer so that either layout can be computed on any build.
struct NativePointers {
  using Handle = char**;
  using Ptr = void*;
  using TestAbortProc = Boolean (*)();
  using ProgressProc = void (*)(int32 done, int32 total);
  using DisplayPixelsProc = OSErr (*)(const PSPixelMap* source, const VRect* srcRect, int32 dstRow,
                                      int32 dstCol, void* platformContext);
  using AdvanceStateProc = OSErr (*)();
  using Callback = void (*)();  // a callback the module never calls
};
struct Pointers32 {
  using Handle = uint32;
  using Ptr = uint32;
  using TestAbortProc = uint32;
  using ProgressProc = uint32;
  using DisplayPixelsProc = uint32;
  using AdvanceStateProc = uint32;
  using Callback = uint32;
};
struct Pointers64 {
  using Handle = uint64_t;
  using Ptr = uint64_t;
  using TestAbortProc = uint64_t;
  using ProgressProc = uint64_t;
  using DisplayPixelsProc = uint64_t;
  using AdvanceStateProc = uint64_t;
  using Callback = uint64_t;
};

#pragma pack(push, 4)
// The host's parameter block for selectors 1 to 5, as large as the newest published layout
// (488 bytes on x86, 608 on x64). Hosts allocate less; the module reads only the fields
// every host fills.
template <class P>
struct FilterRecordT {
  int32 serialNumber;
  typename P::TestAbortProc abortProc;
  typename P::ProgressProc progressProc;
  typename P::Handle parameters;
  Point imageSize;
  int16 planes;
  Rect filterRect;
  RGBColor background;
  RGBColor foreground;
  int32 maxSpace;
  int32 bufferSpace;
  Rect inRect;
  int16 inLoPlane;
  int16 inHiPlane;
  Rect outRect;
  int16 outLoPlane;
  int16 outHiPlane;
  typename P::Ptr inData;
  int32 inRowBytes;
  typename P::Ptr outData;
  int32 outRowBytes;
  Boolean isFloating;
  Boolean haveMask;
  Boolean autoMask;
  Rect maskRect;
  typename P::Ptr maskData;
  int32 maskRowBytes;
  FilterColor backColor;
  FilterColor foreColor;
  OSType hostSig;
  typename P::Callback hostProc;
  int16 imageMode;
  Fixed imageHRes;
  Fixed imageVRes;
  Point floatCoord;
  Point wholeSize;
  PlugInMonitor monitor;
  typename P::Ptr platformData;
  typename P::Ptr bufferProcs;
  typename P::Ptr resourceProcs;
  typename P::Callback processEvent;
  typename P::DisplayPixelsProc displayPixels;
  typename P::Ptr handleProcs;
  Boolean supportsDummyChannels;
  Boolean supportsAlternateLayouts;
  int16 wantLayout;
  int16 filterCase;
  int16 dummyPlaneValue;
  typename P::Ptr premiereHook;
  typename P::AdvanceStateProc advanceState;
  Boolean supportsAbsolute;
  Boolean wantsAbsolute;
  typename P::Callback getPropertyObsolete;
  Boolean cannotUndo;
  Boolean supportsPadding;
  int16 inputPadding;
  int16 outputPadding;
  int16 maskPadding;
  char samplingSupport;
  char reservedByte;
  Fixed inputRate;
  Fixed maskRate;
  typename P::Callback colorServices;
  int16 inLayerPlanes, inTransparencyMask, inLayerMasks, inInvertedLayerMasks, inNonLayerPlanes;
  int16 outLayerPlanes, outTransparencyMask, outLayerMasks, outInvertedLayerMasks,
      outNonLayerPlanes;
  int16 absLayerPlanes, absTransparencyMask, absLayerMasks, absInvertedLayerMasks,
      absNonLayerPlanes;
  int16 inPreDummyPlanes, inPostDummyPlanes, outPreDummyPlanes, outPostDummyPlanes;
  int32 inColumnBytes, inPlaneBytes, outColumnBytes, outPlaneBytes;
  typename P::Ptr imageServicesProcs;
  typename P::Ptr propertyProcs;
  int16 inTileHeight, inTileWidth;
  Point inTileOrigin;
  int16 absTileHeight, absTileWidth;
  Point absTileOrigin;
  int16 outTileHeight, outTileWidth;
  Point outTileOrigin;
  int16 maskTileHeight, maskTileWidth;
  Point maskTileOrigin;
  typename P::Ptr descriptorParameters;
  typename P::Ptr errorString;
  typename P::Ptr channelPortProcs;
  typename P::Ptr documentInfo;
  typename P::Ptr sSPBasic;
  typename P::Ptr plugInRef;
  int32 depth;
  typename P::Handle iCCprofileData;
  int32 iCCprofileSize;
  int32 canUseICCProfiles;
  int32 hasImageScrap;
  typename P::Ptr bigDocumentData;
  typename P::Ptr input3DScene;
  typename P::Ptr output3DScene;
  Boolean createNewLayer;
  typename P::Handle iCCWorkingProfileData;
  int32 iCCWorkingProfileSize;
  int64 bufferSpace64;
  int64 maxSpace64;
  char reserved[46];
};
#pragma pack(pop)

// Records without a pack pragma: natural alignment.
template <class P>
struct PlatformDataT {
  typename P::Ptr hwnd;  // the host's window (an intptr_t-sized handle)
};

// The parameter block of selector 0 (256 bytes on x86, 272 on x64).
template <class P>
struct AboutRecordT {
  typename P::Ptr platformData;
  typename P::Ptr sSPBasic;
  typename P::Ptr plugInRef;
  char reserved[244];
};

template <class P>
struct PSPixelMaskT {
  typename P::Ptr next;
  typename P::Ptr maskData;
  int32 rowBytes;
  int32 colBytes;
  int32 maskDescription;
};

// The pixel map handed to displayPixels; version 0 ends after baseAddr.
template <class P>
struct PSPixelMapT {
  int32 version;
  VRect bounds;
  int32 imageMode;
  int32 rowBytes;
  int32 colBytes;
  int32 planeBytes;
  typename P::Ptr baseAddr;
  typename P::Ptr mat;
  typename P::Ptr masks;
  int32 maskPhaseRow;
  int32 maskPhaseCol;
};

using FilterRecord = FilterRecordT<NativePointers>;
using PlatformData = PlatformDataT<NativePointers>;
using AboutRecord = AboutRecordT<NativePointers>;
struct PSPixelMap : PSPixelMapT<NativePointers> {};
struct PSPixelMask : PSPixelMaskT<NativePointers> {};

// The filter entry point every module exports (cdecl on x86).
using FilterEntry = void (*)(int16 selector, void* paramBlock, intptr_t* data, int16* result);

// Offsets of the fields the module or the host touches, per pointer width. The same table
// is asserted for the native record below and for both widths in the tests.
struct FieldOffsets {
  std::size_t progressProc, parameters, imageSize, planes, filterRect, maxSpace, bufferSpace,
      inRect, inLoPlane, inHiPlane, outRect, outLoPlane, outHiPlane, inData, inRowBytes, outData,
      outRowBytes, isFloating, haveMask, autoMask, maskRect, maskData, maskRowBytes, hostSig,
      imageMode, platformData, displayPixels, handleProcs, filterCase, advanceState, documentInfo,
      depth, size;
};
constexpr FieldOffsets kOffsetsX86{8,   12,  16,  20,  22,  44,  48,  52,  60,  62,  64,
                                   72,  74,  76,  80,  84,  88,  92,  93,  94,  96,  104,
                                   108, 120, 128, 188, 204, 208, 216, 224, 368, 380, 488};
constexpr FieldOffsets kOffsetsX64{12,  20,  28,  32,  34,  56,  60,  64,  72,  74,  76,
                                   84,  86,  88,  96,  100, 108, 112, 113, 114, 116, 124,
                                   132, 144, 156, 216, 248, 256, 268, 280, 456, 480, 608};

template <class P>
constexpr bool layout_matches(const FieldOffsets& o) {
  using R = FilterRecordT<P>;
  return offsetof(R, progressProc) == o.progressProc && offsetof(R, parameters) == o.parameters &&
         offsetof(R, imageSize) == o.imageSize && offsetof(R, planes) == o.planes &&
         offsetof(R, filterRect) == o.filterRect && offsetof(R, maxSpace) == o.maxSpace &&
         offsetof(R, bufferSpace) == o.bufferSpace && offsetof(R, inRect) == o.inRect &&
         offsetof(R, inLoPlane) == o.inLoPlane && offsetof(R, inHiPlane) == o.inHiPlane &&
         offsetof(R, outRect) == o.outRect && offsetof(R, outLoPlane) == o.outLoPlane &&
         offsetof(R, outHiPlane) == o.outHiPlane && offsetof(R, inData) == o.inData &&
         offsetof(R, inRowBytes) == o.inRowBytes && offsetof(R, outData) == o.outData &&
         offsetof(R, outRowBytes) == o.outRowBytes && offsetof(R, isFloating) == o.isFloating &&
         offsetof(R, haveMask) == o.haveMask && offsetof(R, autoMask) == o.autoMask &&
         offsetof(R, maskRect) == o.maskRect && offsetof(R, maskData) == o.maskData &&
         offsetof(R, maskRowBytes) == o.maskRowBytes && offsetof(R, hostSig) == o.hostSig &&
         offsetof(R, imageMode) == o.imageMode && offsetof(R, platformData) == o.platformData &&
         offsetof(R, displayPixels) == o.displayPixels &&
         offsetof(R, handleProcs) == o.handleProcs && offsetof(R, filterCase) == o.filterCase &&
         offsetof(R, advanceState) == o.advanceState &&
         offsetof(R, documentInfo) == o.documentInfo && offsetof(R, depth) == o.depth &&
         sizeof(R) == o.size;
}

// The native record must have the layout of its own pointer width.
static_assert(sizeof(void*) == 4 || sizeof(void*) == 8, "unsupported pointer width");
static_assert(layout_matches<NativePointers>(sizeof(void*) == 4 ? kOffsetsX86 : kOffsetsX64),
              "FilterRecord layout differs from the host interface");
static_assert(sizeof(AboutRecord) == (sizeof(void*) == 4 ? 256 : 272), "AboutRecord size");
static_assert(offsetof(PSPixelMap, baseAddr) == (sizeof(void*) == 4 ? 36 : 40),
              "PSPixelMap layout");

// The host's handle procedures (pointer in handleProcs; default alignment): a version, how many
// procedures follow, then the procedures. A module checks numHandleProcs before calling one.
struct HandleProcs {
  int16 handleProcsVersion;
  int16 numHandleProcs;
  char** (*newProc)(int32 size);
  void (*disposeProc)(char** handle);
  int32 (*getSizeProc)(char** handle);
  OSErr (*setSizeProc)(char** handle, int32 size);
  void* (*lockProc)(char** handle, Boolean moveHigh);
  void (*unlockProc)(char** handle);
  void (*recoverSpaceProc)(int32 size);
  void (*disposeRegularHandleProc)(char** handle);
};
static_assert(offsetof(HandleProcs, newProc) == sizeof(void*) &&
                  offsetof(HandleProcs, lockProc) == 5 * sizeof(void*) &&
                  sizeof(HandleProcs) == 9 * sizeof(void*),
              "HandleProcs: pointers at 4, 8, ... 32 (x86) or 8, 16, ... 64 (x64)");

}  // namespace filter_api
