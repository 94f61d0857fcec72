// Feeds random bytes to the settings file reader as the file `--repeat` reads (the stored
// parameter bytes of the last run, in a small checked frame).
//
// A file it takes gives back bytes that, saved again, make the very same file; a file it
// refuses comes with a notice naming the file. Whatever is saved loads back unchanged.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "command/settings_file.h"

namespace {

void check(bool holds) {
  if (!holds) std::abort();
}

std::string folder() {
  static const std::string path = [] {
    char pattern[] = "/tmp/zorbel-fuzz-settings-XXXXXX";
    const char* made = mkdtemp(pattern);
    check(made != nullptr);
    return std::string(made);
  }();
  return path;
}

std::vector<uint8_t> file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = folder() + "/last-settings";
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), std::streamsize(size));
    check(bool(out));
  }
  std::string notice, error;
  auto loaded = settings_file::load(path, &notice);
  if (!loaded) {
    check(notice.rfind(path + ": ", 0) == 0);
  } else {
    check(notice.empty() && loaded->size() + 12 == size);
    check(settings_file::save(path, *loaded, &error) && error.empty());
    check(file_bytes(path) == std::vector<uint8_t>(data, data + size));
  }

  // Any bytes up to the frame's 16-bit size, saved and loaded back.
  std::vector<uint8_t> stored(data, data + (size < 0xFFFF ? size : 0xFFFF));
  check(settings_file::save(path, stored, &error));
  notice.clear();
  auto again = settings_file::load(path, &notice);
  check(again && *again == stored && notice.empty());
  std::remove(path.c_str());
  return 0;
}
