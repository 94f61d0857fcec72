// Putting a finished temporary file in place of an output (Linux): the bytes arrive whole, an
// existing file is replaced only by a complete one, and a failure says why.
#ifndef _WIN32

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "plugin_host/arguments.h"

namespace {

std::string make_folder() {
  char name[] = "/tmp/zorbel-replace-XXXXXX";
  return mkdtemp(name) != nullptr ? name : "";
}

void put(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

TEST(ReplaceDurably, TheTemporaryTakesTheTargetsPlaceWhole) {
  const std::string folder = make_folder();
  ASSERT_FALSE(folder.empty());
  const std::string target = folder + "/out.png", temporary = folder + "/.out.png.tmp";
  put(target, "old");
  put(temporary, std::string(100000, 'n'));
  std::string why;
  ASSERT_TRUE(plugin_host::replace_durably(temporary, target, &why)) << why;
  EXPECT_EQ(contents(target), std::string(100000, 'n'));
  EXPECT_FALSE(exists(temporary));
  // A name without a folder is in the current one, whose entry is flushed the same way.
  char here[4096];
  ASSERT_NE(getcwd(here, sizeof here), nullptr);
  ASSERT_EQ(chdir(folder.c_str()), 0);
  put("t", "new");
  bool replaced = plugin_host::replace_durably("t", "out.png", &why);
  ASSERT_EQ(chdir(here), 0);
  EXPECT_TRUE(replaced) << why;
  EXPECT_EQ(contents(target), "new");
  std::filesystem::remove_all(folder);
}

TEST(ReplaceDurably, AFailureLeavesTheTargetAsItWasAndSaysWhy) {
  const std::string folder = make_folder();
  ASSERT_FALSE(folder.empty());
  const std::string target = folder + "/out.png";
  put(target, "old");
  std::string why;
  // No temporary to flush: nothing moves.
  EXPECT_FALSE(plugin_host::replace_durably(folder + "/missing", target, &why));
  EXPECT_NE(why.find("cannot flush it to disk"), std::string::npos) << why;
  EXPECT_EQ(contents(target), "old");
  // A target in a folder that does not exist: the temporary stays for the caller to remove.
  const std::string temporary = folder + "/tmp";
  put(temporary, "new");
  why.clear();
  EXPECT_FALSE(plugin_host::replace_durably(temporary, folder + "/no/such/out.png", &why));
  EXPECT_NE(why.find("No such file"), std::string::npos) << why;
  EXPECT_TRUE(exists(temporary));
  std::filesystem::remove_all(folder);
}

}  // namespace

#endif  // _WIN32
