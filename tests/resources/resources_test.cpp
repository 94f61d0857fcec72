// The module's resources and exports as hosts find them: through the resource calls on this
// program (which carries the same resources), on the loaded module, and, on Linux, read
// straight from both built Windows DLLs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <functional>
#include <optional>
#include <set>

#include "filter_api/pipl.h"
#include "headless_win32/dialog_template.h"
#include "module/host/host.h"
#include "tests/resources/expected_resources.h"
#include "tests/support/message_boxes.h"
#include "tests/support/pe_file.h"

namespace {

using Bytes = std::vector<uint8_t>;
// Fetches a resource by type and name ("PIPL", "1"), or nothing.
using Fetch = std::function<std::optional<Bytes>(const std::string&, const std::string&)>;

Fetch fetch_from(HMODULE module) {
  return [module](const std::string& type, const std::string& name) -> std::optional<Bytes> {
    std::string id = std::isdigit(static_cast<unsigned char>(name[0])) ? "#" + name : name;
    HRSRC found = FindResourceA(module, id.c_str(), type.c_str());
    if (found == nullptr) return std::nullopt;
    const auto* data = static_cast<const uint8_t*>(LockResource(LoadResource(module, found)));
    return Bytes(data, data + SizeofResource(module, found));
  };
}

// The strings of a string-table block: index 0..15.
std::vector<std::string> string_block(const Bytes& block) {
  std::vector<std::string> out;
  std::size_t at = 0;
  while (at + 2 <= block.size() && out.size() < 16) {
    std::size_t units = block[at] | (block[at + 1] << 8);
    std::string s;
    for (std::size_t i = 0; i < units && at + 3 + 2 * i < block.size(); ++i)
      s += char(block[at + 2 + 2 * i]);  // the About strings are ASCII
    out.push_back(s);
    at += 2 + 2 * units;
  }
  return out;
}

void check_resources(const Fetch& fetch, bool x64, const std::string& where) {
  SCOPED_TRACE(where);
  auto pipl = fetch("PIPL", "1");
  ASSERT_TRUE(pipl.has_value());
  EXPECT_EQ(pipl->size(), 198u);
  EXPECT_EQ(*pipl, expected::pipl(x64));
  std::string why;
  auto parsed = filter_api::read_pipl(pipl->data(), pipl->size(), &why);
  ASSERT_TRUE(parsed.has_value()) << why;
  EXPECT_EQ(parsed->count, 7);
  ASSERT_EQ(parsed->properties.size(), 7u);
  for (const auto& p : parsed->properties) EXPECT_EQ(p.length % 4, 0u);
  EXPECT_EQ(filter_api::pipl_entry_name(*parsed, x64), std::optional<std::string>("ENTRYPOINT1"));
  EXPECT_FALSE(filter_api::pipl_entry_name(*parsed, !x64).has_value());

  EXPECT_EQ(fetch("PIMI", "1"), std::optional<Bytes>(expected::pimi()));
  EXPECT_EQ(fetch("_8BFM", "1"), std::optional<Bytes>(expected::menu_name()));
  EXPECT_EQ(fetch("FLTD", "1"), std::optional<Bytes>(expected::fltd()));
  EXPECT_EQ(fetch("FLTS", "1"), std::optional<Bytes>(expected::flts()));
  EXPECT_EQ(expected::pimi().size(), 28u);
  EXPECT_EQ(expected::menu_name().size(), 12u);
  EXPECT_EQ(expected::fltd().size(), 26u);

  auto strings = fetch("#6", "1");
  ASSERT_TRUE(strings.has_value());
  auto block = string_block(*strings);
  ASSERT_GE(block.size(), 3u);
  EXPECT_FALSE(block[1].empty());
  EXPECT_LE(block[1].size(), 255u);
  EXPECT_FALSE(block[2].empty());
  EXPECT_LE(block[2].size(), 59u);

  auto dialog = fetch("#5", "FILTERDLG");
  ASSERT_TRUE(dialog.has_value());
  auto parsed_dialog = dialog_template::parse(dialog->data(), dialog->size(), &why);
  ASSERT_TRUE(parsed_dialog.has_value()) << why;
  const dialog_template::Template& t = *parsed_dialog;
  EXPECT_EQ(t.style, 0x80C00040u);
  EXPECT_EQ(t.ex_style, 0u);
  EXPECT_EQ(t.x, 0);
  EXPECT_EQ(t.y, 20);
  EXPECT_EQ(t.cx, 340);
  EXPECT_EQ(t.cy, 211);
  EXPECT_TRUE(!t.menu.is_ordinal && t.menu.text.empty());
  EXPECT_TRUE(!t.window_class.is_ordinal && t.window_class.text.empty());
  EXPECT_EQ(t.caption.rfind("Zorbel - ", 0), 0u) << t.caption;
  EXPECT_EQ(t.font_points, 9);
  EXPECT_EQ(t.font_face, "宋体");
  ASSERT_EQ(t.controls.size(), 22u);
  for (std::size_t i = 0; i < 22; ++i) {
    const expected::Control& want = expected::kDialogControls[i];
    const dialog_template::Control& got = t.controls[i];
    SCOPED_TRACE("control " + std::to_string(want.id));
    EXPECT_EQ(got.id, want.id);
    if (want.class_ordinal != 0) {
      EXPECT_TRUE(got.window_class.is_ordinal);
      EXPECT_EQ(got.window_class.ordinal, want.class_ordinal);
    } else {
      // Windows would match the names in any case; the template keeps them as written.
      EXPECT_FALSE(got.window_class.is_ordinal);
      EXPECT_EQ(got.window_class.text, want.class_name);
    }
    EXPECT_FALSE(got.text.is_ordinal);
    EXPECT_EQ(got.text.text, want.text);
    EXPECT_EQ(got.x, want.x);
    EXPECT_EQ(got.y, want.y);
    EXPECT_EQ(got.cx, want.cx);
    EXPECT_EQ(got.cy, want.cy);
    EXPECT_EQ(got.style, want.style);
    EXPECT_EQ(got.ex_style, 0u);
    EXPECT_TRUE(got.creation_data.empty());
  }
}

TEST(ModuleResources, ThisProgramCarriesTheModuleResources) {
#if defined(ZORBEL_ARCH_x64)
  check_resources(fetch_from(GetModuleHandleA(nullptr)), true, "test program");
#else
  check_resources(fetch_from(GetModuleHandleA(nullptr)), false, "test program");
#endif
}

TEST(ModuleResources, TheLoadedModuleCarriesThemAndExportsItsProcedures) {
  HMODULE module = LoadLibraryA(ZORBEL_MODULE_PATH);
  ASSERT_NE(module, nullptr) << ZORBEL_MODULE_PATH;
#if defined(ZORBEL_ARCH_x64)
  check_resources(fetch_from(module), true, ZORBEL_MODULE_PATH);
#else
  check_resources(fetch_from(module), false, ZORBEL_MODULE_PATH);
#endif
  for (const char* name : {"ENTRYPOINT1", "big_procedure", "small_procedure", "FilterDlg"})
    EXPECT_NE(reinterpret_cast<void*>(GetProcAddress(module, name)), nullptr) << name;

  // The entry answers through the host's calling convention, with its own instance handle.
  auto entry = reinterpret_cast<filter_api::FilterEntry>(
      reinterpret_cast<void*>(GetProcAddress(module, "ENTRYPOINT1")));
  ASSERT_NE(entry, nullptr);
  int16_t result = 1;
  filter_api::FilterRecord record{};
  entry(6, &record, nullptr, &result);
  EXPECT_EQ(result, filter_api::filterBadParameters);
  test_support::MessageBoxWatch boxes;
  filter_api::AboutRecord about{};
  entry(0, &about, nullptr, &result);
  EXPECT_EQ(result, 0);
  char text[256];
  LoadStringA(module, 1, text, sizeof text);
  ASSERT_EQ(boxes.boxes().size(), 1u);
  EXPECT_EQ(boxes.boxes()[0].text, text);
  FreeLibrary(module);
}

TEST(ModuleResources, LoadStringCutsAtTheBufferSizeLessOne) {
  HMODULE self = GetModuleHandleA(nullptr);
  char full[256];
  int length = LoadStringA(self, 1, full, sizeof full);
  ASSERT_GT(length, 10);
  char cut[8];
  std::fill(cut, cut + sizeof cut, 'x');
  EXPECT_EQ(LoadStringA(self, 1, cut, sizeof cut), 7);
  EXPECT_EQ(std::string(cut), std::string(full, 7));
  char none[4] = "abc";
  EXPECT_EQ(LoadStringA(self, 9, none, sizeof none), 0);  // no such string
}

#ifdef ZORBEL_PE32_PATH
std::string upper(std::string s) {
  for (char& c : s) c = char(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// Both Windows builds, read from their files: these cannot be loaded on this machine.
void check_pe(const std::string& path, bool x64) {
  SCOPED_TRACE(path);
  std::string why;
  auto pe = test_support::read_pe_file(path, &why);
  ASSERT_TRUE(pe.has_value()) << why;
  EXPECT_EQ(pe->machine, x64 ? 0x8664 : 0x14C);
  EXPECT_EQ(pe->pe32_plus, x64);
  EXPECT_NE(pe->characteristics & 0x2000, 0) << "not a DLL";
  EXPECT_EQ(pe->export_module_name, "ZORBEL.dll");
  EXPECT_EQ(pe->ordinal_base, 1u);
  ASSERT_EQ(pe->exports.size(), 4u);
  const char* names[] = {"ENTRYPOINT1", "big_procedure", "small_procedure", "FilterDlg"};
  for (uint32_t i = 0; i < 4; ++i) {
    EXPECT_EQ(pe->exports[i].ordinal, i + 1);
    EXPECT_EQ(pe->exports[i].name, names[i]);
  }
  // Statically linked: a host needs nothing but the system's own DLLs.
  const std::set<std::string> system = {"KERNEL32.DLL", "USER32.DLL", "GDI32.DLL", "MSVCRT.DLL"};
  for (const std::string& dll : pe->imported_dlls) EXPECT_TRUE(system.count(upper(dll))) << dll;
  for (const auto& r : pe->resources) EXPECT_EQ(r.language, 1033u) << r.type << " " << r.name;
  check_resources(
      [&](const std::string& type, const std::string& name) -> std::optional<Bytes> {
        std::string id = std::isdigit(static_cast<unsigned char>(name[0])) ? "#" + name : name;
        const test_support::PeResource* r = pe->find_resource(type, id);
        return r == nullptr ? std::nullopt : std::optional<Bytes>(r->data);
      },
      x64, path);
}

// A Linux-only build has no Windows modules to read: the checks are skipped, saying so.
bool built(const char* path) { return std::ifstream(path).good(); }

TEST(WindowsModules, Win32BuildIsAPe32DllWithTheExportsAndResources) {
  if (!built(ZORBEL_PE32_PATH))
    GTEST_SKIP() << ZORBEL_PE32_PATH << " is not built (make build-win32)";
  check_pe(ZORBEL_PE32_PATH, false);
}

TEST(WindowsModules, Win64BuildIsAPe32PlusDllWithTheExportsAndResources) {
  if (!built(ZORBEL_PE64_PATH))
    GTEST_SKIP() << ZORBEL_PE64_PATH << " is not built (make build-win64)";
  check_pe(ZORBEL_PE64_PATH, true);
}
#endif

}  // namespace
