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
#include "module/scripting/scripting.h"
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

// A reader of the Windows AETE layout written from the format, apart from the module: words
// little-endian, codes reversed, length-prefixed strings without alignment. Every read is
// bounds-checked; `ok` turns false at the first one past the end.
struct AeteReader {
  const Bytes& bytes;
  std::size_t at = 0;
  bool ok = true;

  uint32_t take(std::size_t n) {
    if (!ok || at + n > bytes.size()) {
      ok = false;
      return 0;
    }
    uint32_t v = 0;
    for (std::size_t i = 0; i < n; ++i) v |= uint32_t(bytes[at + i]) << (8 * i);
    at += n;
    return v;
  }
  uint16_t word() { return uint16_t(take(2)); }
  uint32_t code() { return take(4); }
  std::string pstring() {
    std::size_t n = take(1);
    if (!ok || at + n > bytes.size()) {
      ok = false;
      return {};
    }
    std::string s(bytes.begin() + std::ptrdiff_t(at), bytes.begin() + std::ptrdiff_t(at + n));
    at += n;
    return s;
  }
};

struct AeteParameter {
  std::string name, description;
  uint32_t key, type;
  uint16_t flags;
};
struct AeteEnumerator {
  std::string name;
  uint32_t id;
};
struct Aete {
  uint16_t reserved, language, script, suites, level, suite_version, events;
  uint8_t major, minor;
  std::string suite_name, event_name;
  uint32_t suite_id, event_class, event_id, reply_type, direct_type;
  uint16_t reply_flags, direct_flags, classes, comparisons, enumerations;
  std::vector<AeteParameter> parameters;
  uint32_t enum_type;
  std::vector<AeteEnumerator> enumerators;
};

// One suite, one event, its parameters, no classes or comparisons, one enumeration: what a
// filter's terminology holds. Nothing when the bytes run short or do not end after it.
std::optional<Aete> read_aete(const Bytes& bytes) {
  AeteReader r{bytes};
  Aete a{};
  a.reserved = r.word();
  a.major = uint8_t(r.take(1));
  a.minor = uint8_t(r.take(1));
  a.language = r.word();
  a.script = r.word();
  a.suites = r.word();
  a.suite_name = r.pstring();
  r.pstring();
  a.suite_id = r.code();
  a.level = r.word();
  a.suite_version = r.word();
  a.events = r.word();
  a.event_name = r.pstring();
  r.pstring();
  a.event_class = r.code();
  a.event_id = r.code();
  a.reply_type = r.code();
  if (!r.pstring().empty()) return std::nullopt;  // hosts read these descriptions as empty
  a.reply_flags = r.word();
  a.direct_type = r.code();
  if (!r.pstring().empty()) return std::nullopt;
  a.direct_flags = r.word();
  for (uint16_t n = r.word(), i = 0; r.ok && i < n; ++i) {
    AeteParameter p{};
    p.name = r.pstring();
    p.key = r.code();
    p.type = r.code();
    p.description = r.pstring();
    p.flags = r.word();
    a.parameters.push_back(p);
  }
  a.classes = r.word();
  a.comparisons = r.word();
  a.enumerations = r.word();
  a.enum_type = r.code();
  for (uint16_t n = r.word(), i = 0; r.ok && i < n; ++i) {
    AeteEnumerator e{};
    e.name = r.pstring();
    e.id = r.code();
    r.pstring();
    a.enumerators.push_back(e);
  }
  if (!r.ok || r.at != bytes.size()) return std::nullopt;
  return a;
}

// The PiPL's terminology property and the AETE it names, read back and held against the keys
// the module reads and writes.
void check_terminology(const Fetch& fetch, const filter_api::Pipl& pipl) {
  using filter_api::fourcc;
  const filter_api::PiplProperty* hstm = pipl.find(fourcc("hstm"));
  ASSERT_NE(hstm, nullptr);
  ASSERT_EQ(&pipl.properties.back(), hstm) << "the terminology property comes last";
  ASSERT_EQ(hstm->length, 52u);
  AeteReader t{hstm->data};
  EXPECT_EQ(t.take(4), 0u);  // version
  const uint32_t class_id = t.code(), event_id = t.code();
  const uint16_t aete_id = t.word();
  const std::string scope(hstm->data.begin() + 14, hstm->data.end());
  EXPECT_EQ(std::string(scope.c_str()), expected::kScopeString);
  EXPECT_EQ(scope.size(), 38u);  // the string, its NUL and one pad byte
  EXPECT_EQ(class_id, scripting_key::kEvent);
  EXPECT_EQ(event_id, scripting_key::kEvent);

  auto bytes = fetch("AETE", std::to_string(aete_id));
  ASSERT_TRUE(bytes.has_value()) << "no AETE " << aete_id;
  EXPECT_EQ(*bytes, expected::aete());
  auto aete = read_aete(*bytes);
  ASSERT_TRUE(aete.has_value());
  const Aete& a = *aete;
  EXPECT_EQ(a.reserved, 1);
  EXPECT_EQ(a.major, 1);
  EXPECT_EQ(a.minor, 0);
  EXPECT_EQ(a.language, 0);
  EXPECT_EQ(a.script, 0);
  EXPECT_EQ(a.suites, 1);
  EXPECT_EQ(a.suite_name, "Halcyrion");
  EXPECT_EQ(a.level, 1);
  EXPECT_EQ(a.suite_version, 1);
  EXPECT_EQ(a.events, 1);
  EXPECT_EQ(a.event_name, "Zorbel");
  EXPECT_EQ(a.event_class, class_id);  // the PiPL and the AETE name the same event
  EXPECT_EQ(a.event_id, event_id);
  EXPECT_EQ(a.reply_type, fourcc("null"));
  EXPECT_EQ(a.reply_flags, 0);
  EXPECT_EQ(a.direct_type, fourcc("#ImR"));
  EXPECT_EQ(a.direct_flags, 0xB000);
  EXPECT_EQ(a.classes, 0);
  EXPECT_EQ(a.comparisons, 0);
  namespace key = scripting_key;
  struct Want {
    const char* name;
    uint32_t key, type;
    uint16_t flags;
  };
  const Want want[] = {{"Angle", key::kAngle, filter_api::typeUnitFloat, 0x8000},
                       {"Regions", key::kRegions, filter_api::typeInteger, 0x8000},
                       {"Spacing", key::kSpacing, filter_api::typeInteger, 0x8000},
                       {"Intensity", key::kIntensity, filter_api::typeInteger, 0x8000},
                       {"Mode", key::kMode, key::kModeType, 0xA000},
                       {"Fade", key::kFade, filter_api::typeBoolean, 0x8000}};
  ASSERT_EQ(a.parameters.size(), 6u);
  for (std::size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(a.parameters[i].name, want[i].name);
    EXPECT_EQ(a.parameters[i].key, want[i].key) << want[i].name;
    EXPECT_EQ(a.parameters[i].type, want[i].type) << want[i].name;
    EXPECT_EQ(a.parameters[i].flags, want[i].flags) << want[i].name;
    EXPECT_FALSE(a.parameters[i].description.empty());
  }
  EXPECT_EQ(a.parameters[0].key, filter_api::fourcc("Angl"));  // the host's own angle key
  EXPECT_EQ(a.enumerations, 1);
  EXPECT_EQ(a.enum_type, key::kModeType);
  ASSERT_EQ(a.enumerators.size(), 3u);
  EXPECT_EQ(a.enumerators[0].name, "parallel lines");
  EXPECT_EQ(a.enumerators[0].id, key::kParallel);
  EXPECT_EQ(a.enumerators[1].name, "right-angle regions");
  EXPECT_EQ(a.enumerators[1].id, key::kRightAngle);
  EXPECT_EQ(a.enumerators[2].name, "mixed parallel");
  EXPECT_EQ(a.enumerators[2].id, key::kMixed);
}

void check_resources(const Fetch& fetch, bool x64, const std::string& where) {
  SCOPED_TRACE(where);
  auto pipl = fetch("PIPL", "1");
  ASSERT_TRUE(pipl.has_value());
  EXPECT_EQ(pipl->size(), 266u);  // the 198 bytes hosts read, and the terminology property
  EXPECT_EQ(*pipl, expected::pipl(x64));
  std::string why;
  auto parsed = filter_api::read_pipl(pipl->data(), pipl->size(), &why);
  ASSERT_TRUE(parsed.has_value()) << why;
  EXPECT_EQ(parsed->count, 8);
  ASSERT_EQ(parsed->properties.size(), 8u);
  for (const auto& p : parsed->properties) EXPECT_EQ(p.length % 4, 0u);
  // The registration properties keep their order and bytes: everything but the header's
  // count up to byte 198 is as it always was.
  const char* order[] = {"kind", "name", "catg", "vers", "mode", x64 ? "8664" : "wx86", "fici"};
  for (std::size_t i = 0; i < 7; ++i)
    EXPECT_EQ(filter_api::fourcc_text(parsed->properties[i].key), order[i]);
  check_terminology(fetch, *parsed);
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
