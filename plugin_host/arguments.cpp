// UTF-8 arguments and file names: the Windows conversions, and the plain pass-through
// elsewhere. No image or settings logic here.
#include "plugin_host/arguments.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>

#ifdef _WIN32
#include <windows.h>

#include <shellapi.h>
#else
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#endif

namespace plugin_host {

#ifdef _WIN32

bool to_wide(const std::string& utf8, std::wstring* wide) {
  wide->clear();
  if (utf8.empty()) return true;
  if (utf8.size() > size_t(INT_MAX)) return false;
  int size =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), int(utf8.size()), nullptr, 0);
  if (size <= 0) return false;
  wide->resize(size_t(size));
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), int(utf8.size()),
                             &(*wide)[0], size) == size;
}

std::string to_utf8(const std::wstring& wide) {
  if (wide.empty() || wide.size() > size_t(INT_MAX) / 3) return std::string();
  int size =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), nullptr, 0, nullptr, nullptr);
  if (size <= 0) return std::string();
  std::string utf8(size_t(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), &utf8[0], size, nullptr, nullptr);
  return utf8;
}

std::vector<std::string> utf8_arguments(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> arguments;
  if (wide != nullptr && count == argc) {
    for (int i = 0; i < count; ++i) arguments.push_back(to_utf8(wide[i]));
  } else {
    // The wide command line and argv disagree (or it could not be split): argv is what the
    // runtime handed over, so it is the better guess.
    for (int i = 0; i < argc; ++i) arguments.push_back(argv[i]);
  }
  if (wide != nullptr) LocalFree(wide);
  return arguments;
}

FILE* open_file(const std::string& utf8_path, const char* mode) {
  std::wstring name, wide_mode;
  if (!to_wide(utf8_path, &name) || name.empty()) {
    errno = utf8_path.empty() ? ENOENT : EINVAL;
    return nullptr;
  }
  for (const char* c = mode; *c != '\0'; ++c) wide_mode.push_back(wchar_t(*c));
  return _wfopen(name.c_str(), wide_mode.c_str());
}

bool file_exists(const std::string& utf8_path) {
  std::wstring name;
  if (!to_wide(utf8_path, &name) || name.empty()) return false;
  DWORD attributes = GetFileAttributesW(name.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

#else

std::vector<std::string> utf8_arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

FILE* open_file(const std::string& utf8_path, const char* mode) {
  return std::fopen(utf8_path.c_str(), mode);
}

bool file_exists(const std::string& utf8_path) {
  struct stat info {};
  return stat(utf8_path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

#endif

#ifndef _WIN32

namespace {

// fsync on a file or folder opened read-only; errno is kept for the caller.
bool sync_path(const std::string& path, int flags) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | flags);
  if (fd < 0) return false;
  bool synced = fsync(fd) == 0;
  int saved = errno;
  close(fd);
  errno = saved;
  return synced;
}

}  // namespace

bool replace_durably(const std::string& temporary, const std::string& path, std::string* why) {
  if (!sync_path(temporary, 0)) {
    *why = std::string("cannot flush it to disk: ") + std::strerror(errno);
    return false;
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    *why = std::strerror(errno);
    return false;
  }
  std::string::size_type slash = path.find_last_of('/');
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  if (!sync_path(folder, O_DIRECTORY) && errno != EINVAL && errno != ENOTSUP) {
    *why =
        "written, but its folder cannot be flushed to disk: " + std::string(std::strerror(errno));
    return false;
  }
  return true;
}

#endif

}  // namespace plugin_host
