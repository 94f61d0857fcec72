// The settings file: "ZRBL", a 16-bit version and size, the stored bytes and an FNV-1a
// checksum of them, written to a temporary file and renamed into place. Names are UTF-8; on
// Windows every file and folder is reached by its wide name.
#include "command/settings_file.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "plugin_host/arguments.h"

namespace settings_file {
namespace {

constexpr uint16_t kVersion = 1;

uint32_t checksum(const std::vector<uint8_t>& bytes) {
  uint32_t hash = 2166136261u;
  for (uint8_t b : bytes) hash = (hash ^ b) * 16777619u;
  return hash;
}

void make_folder(const std::string& folder) {
  // Each level in turn; existing ones are fine.
  for (std::size_t at = 1; at <= folder.size(); ++at) {
    if (at != folder.size() && folder[at] != '/' && folder[at] != '\\') continue;
    std::string level = folder.substr(0, at);
#ifdef _WIN32
    std::wstring wide;
    if (plugin_host::to_wide(level, &wide)) CreateDirectoryW(wide.c_str(), nullptr);
#else
    mkdir(level.c_str(), 0755);
#endif
  }
}

#ifdef _WIN32
// An environment variable as UTF-8, from the process's wide environment (getenv would give it
// in the system's code page); empty when unset.
std::string environment(const wchar_t* name) {
  DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
  if (size == 0) return std::string();
  std::wstring value(size, L'\0');
  DWORD length = GetEnvironmentVariableW(name, &value[0], size);
  if (length == 0 || length >= size) return std::string();
  value.resize(length);
  return plugin_host::to_utf8(value);
}

// The whole file, or nothing when it cannot be opened.
std::optional<std::vector<uint8_t>> read_bytes(const std::string& path) {
  FILE* in = plugin_host::open_file(path, "rb");
  if (in == nullptr) return std::nullopt;
  std::vector<uint8_t> bytes;
  uint8_t buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, in)) > 0;)
    bytes.insert(bytes.end(), buffer, buffer + n);
  bool failed = std::ferror(in) != 0;
  std::fclose(in);
  if (failed) return std::nullopt;
  return bytes;
}

bool write_bytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* out = plugin_host::open_file(path, "wb");
  if (out == nullptr) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
  return std::fclose(out) == 0 && ok;
}

void remove_file(const std::string& path) {
  std::wstring wide;
  if (plugin_host::to_wide(path, &wide)) DeleteFileW(wide.c_str());
}
#endif

}  // namespace

std::string default_path() {
#ifdef _WIN32
  std::string own = environment(L"ZORBEL_CONFIG_DIR");
  std::string folder;
  if (!own.empty()) {
    folder = own;
  } else {
    std::string app_data = environment(L"APPDATA");
    folder = (app_data.empty() ? std::string(".") : app_data) + "\\Zorbel";
  }
#else
  const char* own = std::getenv("ZORBEL_CONFIG_DIR");
  std::string folder;
  if (own != nullptr && *own != '\0') {
    folder = own;
  } else {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    folder = config != nullptr && *config != '\0' ? std::string(config) + "/zorbel"
             : home != nullptr ? std::string(home) + "/.config/zorbel"
                               : std::string(".zorbel");
  }
#endif
#ifdef _WIN32
  return folder + "\\last-settings";
#else
  return folder + "/last-settings";
#endif
}

std::optional<std::vector<uint8_t>> load(const std::string& path, std::string* notice) {
#ifdef _WIN32
  std::optional<std::vector<uint8_t>> read = read_bytes(path);
  if (!read) return std::nullopt;
  std::vector<uint8_t> file = std::move(*read);
#else
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
#endif
  auto damaged = [&]() -> std::optional<std::vector<uint8_t>> {
    *notice = path + ": the stored settings are damaged; using the defaults";
    return std::nullopt;
  };
  if (file.size() < 12 || file[0] != 'Z' || file[1] != 'R' || file[2] != 'B' || file[3] != 'L')
    return damaged();
  uint16_t version = uint16_t(file[4] | (file[5] << 8));
  uint16_t size = uint16_t(file[6] | (file[7] << 8));
  if (version != kVersion || file.size() != 12u + size) return damaged();
  std::vector<uint8_t> bytes(file.begin() + 8, file.begin() + 8 + size);
  uint32_t stored = uint32_t(file[8 + size]) | (uint32_t(file[9 + size]) << 8) |
                    (uint32_t(file[10 + size]) << 16) | (uint32_t(file[11 + size]) << 24);
  if (stored != checksum(bytes)) return damaged();
  return bytes;
}

bool save(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error) {
  std::size_t slash = path.find_last_of("/\\");
  if (slash != std::string::npos) make_folder(path.substr(0, slash));
  std::vector<uint8_t> file = {'Z',
                               'R',
                               'B',
                               'L',
                               uint8_t(kVersion),
                               uint8_t(kVersion >> 8),
                               uint8_t(bytes.size()),
                               uint8_t(bytes.size() >> 8)};
  file.insert(file.end(), bytes.begin(), bytes.end());
  uint32_t sum = checksum(bytes);
  for (int i = 0; i < 4; ++i) file.push_back(uint8_t(sum >> (8 * i)));
  std::string temporary = path + ".tmp";
#ifdef _WIN32
  std::wstring wide_path, wide_temporary;
  bool moved =
      write_bytes(temporary, file) && plugin_host::to_wide(path, &wide_path) &&
      plugin_host::to_wide(temporary, &wide_temporary) &&
      MoveFileExW(wide_temporary.c_str(), wide_path.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
  if (!moved) {
    remove_file(temporary);
    *error = path + ": cannot be written";
  }
  return moved;
#else
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
    if (!out) {
      std::remove(temporary.c_str());
      *error = path + ": cannot be written";
      return false;
    }
  }
  std::string why;
  bool moved = plugin_host::replace_durably(temporary, path, &why);
  if (!moved) {
    std::remove(temporary.c_str());
    *error = path + ": cannot be written (" + why + ")";
  }
  return moved;
#endif
}

}  // namespace settings_file
