// Our own declarations of the host's scripting interface for filters: the descriptor
// parameters the FilterRecord points to (descriptorParameters), the read and write
// descriptor procedure tables, play and record options, the descriptor types and units, and
// the error codes the getters return. Declared over the pointer policies of filter_api.h so
// that the x86 and x64 layouts are both checked at compile time. No code here.
#pragma once

#include <cstddef>
#include <cstdint>

#include "filter_api/filter_api.h"

namespace filter_api {

using DescriptorKeyID = uint32;   // 32-bit on both widths
using DescriptorTypeID = uint32;  // 'long', 'doub', 'UntF', ...
using DescriptorUnitID = uint32;  // '#Ang', '#Prc', ...
using DescriptorEnumTypeID = uint32;
using DescriptorEnumID = uint32;
using DescriptorClassID = uint32;
using PIDescriptorHandle = char**;  // an ordinary host handle (dispose with handleProcs)
struct PIOpaqueReadDescriptor;
struct PIOpaqueWriteDescriptor;
using PIReadDescriptor = PIOpaqueReadDescriptor*;    // the host's token: compared, never read
using PIWriteDescriptor = PIOpaqueWriteDescriptor*;  // the host's token: compared, never read
struct PIDescriptorSimpleReference;                  // not used by filters

// Play options (playInfo) and record options (recordInfo).
enum : int16 {
  plugInDialogDontDisplay = 0,  // play without the dialog
  plugInDialogDisplay = 1,      // show the dialog, starting from the descriptor's values
  plugInDialogSilent = 2,       // never show any user interface
};
enum : int16 {
  plugInDialogOptional = 0,  // the action step's dialog may be turned on or off
  plugInDialogRequired = 1,
  plugInDialogNone = 2,
};

// Descriptor types and units.
constexpr DescriptorTypeID typeInteger = fourcc("long");
constexpr DescriptorTypeID typeFloat = fourcc("doub");
constexpr DescriptorTypeID typeUnitFloat = fourcc("UntF");
constexpr DescriptorTypeID typeBoolean = fourcc("bool");
constexpr DescriptorTypeID typeEnumerated = fourcc("enum");
constexpr DescriptorTypeID typeText = fourcc("TEXT");
constexpr DescriptorTypeID typeAlias = fourcc("alis");
constexpr DescriptorTypeID typeClass = fourcc("type");
constexpr DescriptorTypeID typeObject = fourcc("Objc");
constexpr DescriptorTypeID typeNull = fourcc("null");
constexpr DescriptorTypeID typeImageReference = fourcc("#ImR");
constexpr DescriptorUnitID unitAngle = fourcc("#Ang");  // degrees
constexpr DescriptorUnitID unitPercent = fourcc("#Prc");
constexpr DescriptorUnitID unitPixels = fourcc("#Pxl");
constexpr DescriptorKeyID keyAngle = fourcc("Angl");
constexpr OSType PIHasTerminologyProperty = fourcc("hstm");

// Getter results beside noErr: the value had another type, or it was coerced (a pinned getter
// held it to its range; a warning, not a failure).
constexpr OSErr paramErr = -50;
constexpr OSErr coercedParamErr = 2;

// The procedure tables: a version (0), the number of procedures, then the procedures, all
// plain C calls (cdecl on x86). Tables are naturally aligned: the first procedure is at 4 on
// x86 and 8 on x64. Doubles are always passed by address.
template <class P>
struct ReadDescriptorProcsT {
  template <class F>
  using Fn = typename P::template Proc<F>;
  int16 readDescriptorProcsVersion;
  int16 numReadDescriptorProcs;
  Fn<PIReadDescriptor (*)(PIDescriptorHandle, DescriptorKeyID* keys)> openReadDescriptorProc;
  Fn<OSErr (*)(PIReadDescriptor)> closeReadDescriptorProc;  // the most severe error seen
  Fn<Boolean (*)(PIReadDescriptor, DescriptorKeyID*, DescriptorTypeID*, int32* flags)>
      getKeyProc;  // TRUE while keys remain
  Fn<OSErr (*)(PIReadDescriptor, int32*)> getIntegerProc;
  Fn<OSErr (*)(PIReadDescriptor, double*)> getFloatProc;
  Fn<OSErr (*)(PIReadDescriptor, DescriptorUnitID*, double*)> getUnitFloatProc;
  Fn<OSErr (*)(PIReadDescriptor, Boolean*)> getBooleanProc;
  Fn<OSErr (*)(PIReadDescriptor, char***)> getTextProc;   // a new handle the caller frees
  Fn<OSErr (*)(PIReadDescriptor, char***)> getAliasProc;  // a new handle the caller frees
  Fn<OSErr (*)(PIReadDescriptor, DescriptorEnumID*)> getEnumeratedProc;
  Fn<OSErr (*)(PIReadDescriptor, DescriptorClassID*)> getClassProc;
  Fn<OSErr (*)(PIReadDescriptor, PIDescriptorSimpleReference*)> getSimpleReferenceProc;
  Fn<OSErr (*)(PIReadDescriptor, DescriptorClassID*, PIDescriptorHandle*)> getObjectProc;
  Fn<OSErr (*)(PIReadDescriptor, uint32*)> getCountProc;
  Fn<OSErr (*)(PIReadDescriptor, uint8 (*)[256])> getStringProc;  // a length-prefixed string
  Fn<OSErr (*)(PIReadDescriptor, int32 min, int32 max, int32*)> getPinnedIntegerProc;
  Fn<OSErr (*)(PIReadDescriptor, const double* min, const double* max, double*)> getPinnedFloatProc;
  Fn<OSErr (*)(PIReadDescriptor, const double* min, const double* max, DescriptorUnitID*, double*)>
      getPinnedUnitFloatProc;
};

template <class P>
struct WriteDescriptorProcsT {
  template <class F>
  using Fn = typename P::template Proc<F>;
  int16 writeDescriptorProcsVersion;
  int16 numWriteDescriptorProcs;
  Fn<PIWriteDescriptor (*)()> openWriteDescriptorProc;
  Fn<OSErr (*)(PIWriteDescriptor, PIDescriptorHandle*)> closeWriteDescriptorProc;
  Fn<OSErr (*)(PIWriteDescriptor, DescriptorKeyID, int32)> putIntegerProc;
  Fn<OSErr (*)(PIWriteDescriptor, DescriptorKeyID, const double*)> putFloatProc;
  Fn<OSErr (*)(PIWriteDescriptor, DescriptorKeyID, DescriptorUnitID, const double*)>
      putUnitFloatProc;
  Fn<OSErr (*)(PIWriteDescriptor, DescriptorKeyID, Boolean)> putBooleanProc;
  Fn<OSErr (*)(PIWriteDescriptor, DescriptorKeyID, char**)> putTextProc;  // the handle's bytes
  Fn<OSErr (*)(PIWriteDescriptor, DescriptorKeyID, char**)> putAliasProc;
  Fn<OSErr (*)(PIWriteDescriptor, DescriptorKeyID, DescriptorEnumTypeID, DescriptorEnumID)>
      putEnumeratedProc;
  Fn<OSErr (*)(PIWriteDescriptor, DescriptorKeyID, DescriptorClassID)> putClassProc;
  Fn<OSErr (*)(PIWriteDescriptor, DescriptorKeyID, const PIDescriptorSimpleReference*)>
      putSimpleReferenceProc;
  Fn<OSErr (*)(PIWriteDescriptor, DescriptorKeyID, DescriptorClassID, PIDescriptorHandle)>
      putObjectProc;
  Fn<OSErr (*)(PIWriteDescriptor, DescriptorKeyID, uint32)> putCountProc;
  Fn<OSErr (*)(PIWriteDescriptor, DescriptorKeyID, const uint8*)> putStringProc;
  Fn<OSErr (*)(PIWriteDescriptor, DescriptorKeyID, DescriptorClassID)> putScopedClassProc;
  Fn<OSErr (*)(PIWriteDescriptor, DescriptorKeyID, DescriptorClassID, PIDescriptorHandle)>
      putScopedObjectProc;
};

// What descriptorParameters points to. The host allocates it and both tables for the whole
// run; `descriptor` holds the played values when the host hands any, and the module leaves
// its recorded values there (setting recordInfo).
template <class P>
struct PIDescriptorParametersT {
  int16 descriptorParametersVersion;  // 0
  int16 playInfo;                     // plugInDialogDontDisplay, ...Display, ...Silent
  int16 recordInfo;                   // plugInDialogOptional, ...Required, ...None
  typename P::Handle descriptor;
  typename P::Ptr writeDescriptorProcs;
  typename P::Ptr readDescriptorProcs;
};

// Policies mapping each procedure type to itself (native) or to a pointer-sized number.
struct NativeProcs {
  using Handle = char**;
  using Ptr = void*;
  template <class F>
  using Proc = F;
};
struct Procs32 {
  using Handle = uint32;
  using Ptr = uint32;
  template <class F>
  using Proc = uint32;
};
struct Procs64 {
  using Handle = uint64_t;
  using Ptr = uint64_t;
  template <class F>
  using Proc = uint64_t;
};

using ReadDescriptorProcs = ReadDescriptorProcsT<NativeProcs>;
using WriteDescriptorProcs = WriteDescriptorProcsT<NativeProcs>;
struct PIDescriptorParameters : PIDescriptorParametersT<NativeProcs> {};

constexpr int16 kCurrentDescriptorParametersVersion = 0;
constexpr int16 kCurrentReadDescriptorProcsVersion = 0;
constexpr int16 kCurrentWriteDescriptorProcsVersion = 0;
constexpr int16 kCurrentReadDescriptorProcsCount = 18;
constexpr int16 kCurrentWriteDescriptorProcsCount = 16;

// Layouts per pointer width: the descriptor parameters (descriptor at 8, the tables after it),
// the two tables' sizes and first procedures, and where the FilterRecord points to them.
template <class Q, class R>
constexpr bool descriptor_layout_matches(std::size_t pointer, std::size_t parameters_size,
                                         std::size_t read_size, std::size_t write_size,
                                         std::size_t in_record) {
  using D = PIDescriptorParametersT<Q>;
  using Rd = ReadDescriptorProcsT<Q>;
  using Wr = WriteDescriptorProcsT<Q>;
  return offsetof(D, playInfo) == 2 && offsetof(D, recordInfo) == 4 &&
         offsetof(D, descriptor) == 8 && offsetof(D, writeDescriptorProcs) == 8 + pointer &&
         offsetof(D, readDescriptorProcs) == 8 + 2 * pointer && sizeof(D) == parameters_size &&
         offsetof(Rd, openReadDescriptorProc) == pointer &&
         offsetof(Rd, getKeyProc) == 3 * pointer &&
         offsetof(Rd, getPinnedUnitFloatProc) == 18 * pointer && sizeof(Rd) == read_size &&
         offsetof(Wr, openWriteDescriptorProc) == pointer &&
         offsetof(Wr, putEnumeratedProc) == 9 * pointer &&
         offsetof(Wr, putScopedObjectProc) == 16 * pointer && sizeof(Wr) == write_size &&
         offsetof(FilterRecordT<R>, descriptorParameters) == in_record &&
         offsetof(FilterRecordT<R>, errorString) == in_record + pointer;
}
static_assert(descriptor_layout_matches<Procs32, Pointers32>(4, 20, 76, 68, 356),
              "x86 descriptor parameters and tables");
static_assert(descriptor_layout_matches<Procs64, Pointers64>(8, 32, 152, 136, 432),
              "x64 descriptor parameters and tables");
static_assert(sizeof(void*) == 4
                  ? descriptor_layout_matches<NativeProcs, NativePointers>(4, 20, 76, 68, 356)
                  : descriptor_layout_matches<NativeProcs, NativePointers>(8, 32, 152, 136, 432),
              "native descriptor parameters and tables");

// The PiPL terminology property's data (byte-packed): version 0, the event's class and id as
// in the AETE, the AETE resource id (16-bit), then the scope string, NUL-terminated.
constexpr std::size_t kTerminologyScopeOffset = 14;

}  // namespace filter_api
