// Files and standard streams for the WIC layer: whole files read by wide name, outputs written
// to a temporary file (listed for removal on an interruption) that then replaces the target.
#ifdef _WIN32

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <propidl.h>
#include <wincodec.h>
#include <wincodecsdk.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <vector>

#include "image_files/embedded_metadata.h"
#include "image_files/exif.h"
#include "image_files/image_io.h"
#include "image_files/wic.h"
#include "plugin_host/arguments.h"

namespace image_io {
namespace wic {

// --- files and standard streams ---

bool read_file(const std::string& path, std::vector<uint8_t>* bytes, std::string* why) {
  std::wstring name;
  if (!plugin_host::to_wide(path, &name) || name.empty()) {
    *why = "the name is not valid UTF-8";
    return false;
  }
  HANDLE file = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *why = system_reason(GetLastError());
    return false;
  }
  LARGE_INTEGER size = {};
  bool ok = GetFileSizeEx(file, &size) != 0;
  if (ok && uint64_t(size.QuadPart) > kMaxFileBytes) {
    CloseHandle(file);
    *why = "the file is larger than 4 GB";
    return false;
  }
  bytes->resize(ok ? size_t(size.QuadPart) : 0);
  if (!ok) *why = system_reason(GetLastError());
  for (size_t done = 0; ok && done < bytes->size();) {
    DWORD got = 0;
    DWORD want = DWORD(std::min<size_t>(bytes->size() - done, 1 << 24));
    ok = ReadFile(file, bytes->data() + done, want, &got, nullptr) != 0;
    if (!ok) *why = system_reason(GetLastError());
    if (ok && got == 0) {
      ok = false;
      *why = "the file shrank while being read";
    }
    done += got;
  }
  CloseHandle(file);
  return ok;
}

bool read_standard_input(std::vector<uint8_t>* bytes, std::string* why) {
  _setmode(_fileno(stdin), _O_BINARY);
  std::vector<uint8_t> buffer(1 << 16);
  for (size_t got; (got = std::fread(buffer.data(), 1, buffer.size(), stdin)) > 0;) {
    if (got > kMaxFileBytes - bytes->size()) {
      *why = "more than 4 GB";
      return false;
    }
    bytes->insert(bytes->end(), buffer.begin(), buffer.begin() + got);
  }
  if (std::ferror(stdin)) {
    *why = "reading failed";
    return false;
  }
  return true;
}

// Writes `bytes` to a new temporary file beside `path` (listed for removal on an
// interruption), then puts it in `path`'s place.
bool replace_file(const std::string& path, const std::vector<uint8_t>& bytes, std::string* why) {
  std::string temporary = temporary_beside(path);
  std::wstring target, wide_temporary;
  if (!plugin_host::to_wide(path, &target) || target.empty() ||
      !plugin_host::to_wide(temporary, &wide_temporary)) {
    *why = "the name is not valid UTF-8";
    return false;
  }
  begin_partial_output(temporary);
  HANDLE file = CreateFileW(wide_temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *why = system_reason(GetLastError());
    end_partial_output(temporary);
    return false;
  }
  bool ok = true;
  for (size_t done = 0; ok && done < bytes.size();) {
    DWORD wrote = 0;
    DWORD want = DWORD(std::min<size_t>(bytes.size() - done, 1 << 24));
    ok = WriteFile(file, bytes.data() + done, want, &wrote, nullptr) != 0 && wrote == want;
    done += wrote;
  }
  ok = ok && FlushFileBuffers(file) != 0;
  DWORD code = ok ? 0 : GetLastError();
  ok = CloseHandle(file) != 0 && ok;
  ok = ok && MoveFileExW(wide_temporary.c_str(), target.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  if (!ok) {
    *why = system_reason(code != 0 ? code : GetLastError());
    DeleteFileW(wide_temporary.c_str());
  }
  end_partial_output(temporary);
  return ok;
}

bool write_standard_output(const std::vector<uint8_t>& bytes, std::string* why) {
  int out = _fileno(stdout);
  if (_isatty(out)) {
    *why = "it is a terminal; send it to a file or another program";
    return false;
  }
  std::fflush(stdout);
  int mode = _setmode(out, _O_BINARY);
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size();
  ok = std::fflush(stdout) == 0 && ok;
  if (!ok) *why = system_reason(GetLastError());
  if (mode != -1) _setmode(out, mode);
  return ok;
}

}  // namespace wic
}  // namespace image_io

#endif  // _WIN32
