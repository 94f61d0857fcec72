// headless_win32's resource lookups over .res bytes: Windows' matching of ordinals and
// names, string tables, and bytes that are not a whole resource file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "headless_win32/headless.h"
#include "headless_win32/internal.h"

namespace {

using Bytes = std::vector<unsigned char>;

void put16(Bytes& b, unsigned v) {
  b.push_back(static_cast<unsigned char>(v));
  b.push_back(static_cast<unsigned char>(v >> 8));
}
void put32(Bytes& b, unsigned v) {
  put16(b, v & 0xFFFF);
  put16(b, v >> 16);
}
void put_id(Bytes& b, const std::string& id) {
  if (id[0] == '#') {
    put16(b, 0xFFFF);
    put16(b, unsigned(std::stoi(id.substr(1))));
    return;
  }
  for (char c : id) put16(b, static_cast<unsigned char>(c));
  put16(b, 0);
}
// One .res entry, as resource compilers write them.
void entry(Bytes& b, const std::string& type, const std::string& name, const Bytes& data) {
  Bytes header;
  put_id(header, type);
  put_id(header, name);
  while ((header.size() + 8) % 4) header.push_back(0);
  put32(header, 0);
  put16(header, 0x30);
  put16(header, 1033);
  put32(header, 0);
  put32(header, 0);
  put32(b, unsigned(data.size()));
  put32(b, unsigned(header.size() + 8));
  b.insert(b.end(), header.begin(), header.end());
  b.insert(b.end(), data.begin(), data.end());
  while (b.size() % 4) b.push_back(0);
}

Bytes sample() {
  Bytes b;
  entry(b, "#0", "#0", {});  // the empty entry every .res file starts with
  entry(b, "PIPL", "#1", {1, 2, 3});
  entry(b, "#5", "FILTERDLG", {9, 9});
  entry(b, "MyType", "Mixed", {7});
  return b;
}

TEST(HeadlessResources, ParsesEveryEntryAfterTheEmptyLead) {
  Bytes b = sample();
  auto all = headless_detail::parse_res(b.data(), b.size());
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].type_name, "PIPL");
  EXPECT_TRUE(all[0].name_is_ordinal);
  EXPECT_EQ(all[0].name_ordinal, 1);
  EXPECT_EQ(all[0].size, 3u);
  EXPECT_EQ(all[0].language, 1033);
  EXPECT_EQ(all[1].name_name, "FILTERDLG");
  EXPECT_EQ(all[2].type_name, "MYTYPE");  // names compare upper-case
  EXPECT_EQ(all[2].data[0], 7);
}

TEST(HeadlessResources, TruncatedFilesKeepOnlyTheWholeEntries) {
  Bytes b = sample();
  for (std::size_t cut = 0; cut < b.size(); ++cut) {
    auto some = headless_detail::parse_res(b.data(), cut);
    EXPECT_LE(some.size(), 3u);
    for (const auto& r : some) EXPECT_LE(r.data + r.size, b.data() + cut);
  }
}

TEST(HeadlessResources, HugeSizesInAHeaderAreRefused) {
  Bytes b;
  put32(b, 0xFFFFFFF0u);
  put32(b, 0x20);
  b.resize(64, 0);
  EXPECT_TRUE(headless_detail::parse_res(b.data(), b.size()).empty());
}

TEST(HeadlessResources, FindsByOrdinalNameAndHashNumberWithoutRegardToCase) {
  Bytes b = sample();
  headless::set_main_resources(b.data(), b.size());
  HMODULE self = GetModuleHandleA(nullptr);
  EXPECT_NE(FindResourceA(self, MAKEINTRESOURCEA(1), "pipl"), nullptr);
  EXPECT_NE(FindResourceA(self, "#1", "PiPL"), nullptr);
  EXPECT_NE(FindResourceA(self, "filterdlg", RT_DIALOG), nullptr);
  EXPECT_NE(FindResourceA(self, "mixed", "mytype"), nullptr);
  EXPECT_EQ(FindResourceA(self, MAKEINTRESOURCEA(2), "PIPL"), nullptr);
  EXPECT_EQ(FindResourceA(self, "FILTERDLG", "PIPL"), nullptr);
  HRSRC found = FindResourceA(self, "#1", "PIPL");
  EXPECT_EQ(SizeofResource(self, found), 3u);
  EXPECT_EQ(static_cast<unsigned char*>(LockResource(LoadResource(self, found)))[2], 3);
  EXPECT_EQ(FindResourceA(reinterpret_cast<HMODULE>(&b), "#1", "PIPL"), nullptr);
  headless::set_main_resources(headless_resources, headless_resources_size);
}

TEST(HeadlessModules, LoadingAMissingLibraryFailsWithAReason) {
  EXPECT_EQ(LoadLibraryA("/nonexistent/ZORBEL.so"), nullptr);
  EXPECT_EQ(GetLastError(), 126u);
  EXPECT_NE(headless::last_library_error().find("nonexistent"), std::string::npos);
}

}  // namespace
