// Feeds random bytes to headless_win32 as a program's compiled resources (.res), then looks
// resources up in them as the module and the host do: FindResourceA by ordinal, by name and
// by "#number", LoadResource, SizeofResource, LockResource and LoadStringA.
//
// Whatever the bytes, a resource found lies wholly inside them, and a string comes back cut
// to the buffer less one, zero-terminated, its length the answer.
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "headless_win32/headless.h"

namespace {

void check(bool holds) {
  if (!holds) std::abort();
}

// Reads the lookups to make from the front of the input.
struct Bytes {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  uint8_t next() { return at < size ? data[at++] : 0; }
  uint16_t next16() { return uint16_t(next() | (next() << 8)); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The first 24 bytes choose the lookups; the rest is the .res file.
  const size_t kLookups = 24;
  Bytes choice{data, size < kLookups ? size : kLookups};
  std::vector<unsigned char> res(data + choice.size, data + size);
  headless::set_main_resources(res.data(), res.size());
  HMODULE self = GetModuleHandleA(nullptr);
  const unsigned char* begin = res.data();
  const unsigned char* end = res.data() + res.size();

  auto look_up = [&](LPCSTR name, LPCSTR type) {
    HRSRC found = FindResourceA(self, name, type);
    if (found == nullptr) return;
    DWORD bytes = SizeofResource(self, found);
    const auto* at = static_cast<const unsigned char*>(LockResource(LoadResource(self, found)));
    check(at != nullptr && at >= begin && at <= end && bytes <= size_t(end - at));
    volatile unsigned char sum = 0;
    for (DWORD i = 0; i < bytes; ++i) sum = sum + at[i];
  };
  static const char* const kTypes[] = {"PIPL", "PiMI", "_8BFM", "FLTD", "FLTS", "pipl"};
  static const char* const kNames[] = {"FILTERDLG", "filterdlg", "#16000", "#1", "#", "A"};
  for (int i = 0; i < 3; ++i) {
    WORD type = choice.next16(), name = choice.next16();
    look_up(MAKEINTRESOURCEA(name), MAKEINTRESOURCEA(type));
    look_up(kNames[choice.next() % 6], kTypes[choice.next() % 6]);
    look_up(kNames[choice.next() % 6], MAKEINTRESOURCEA(type));
  }
  look_up("FILTERDLG", RT_DIALOG);
  look_up(MAKEINTRESOURCEA(16000), "PIPL");

  for (int i = 0; i < 2; ++i) {
    UINT id = choice.next16();
    int buffer_max = choice.next() % 70;
    std::vector<char> buffer(size_t(buffer_max) + 1, '\x7F');  // one guard byte past the end
    int length = LoadStringA(self, id, buffer.data(), buffer_max);
    check(buffer[size_t(buffer_max)] == '\x7F');
    if (buffer_max == 0) {
      check(length == 0);
      continue;
    }
    check(length >= 0 && length < buffer_max && buffer[size_t(length)] == '\0');
  }
  headless::set_main_resources(nullptr, 0);
  return 0;
}
