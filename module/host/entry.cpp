// The module's entry point and the small selector handlers around it: About, Parameters and
// Prepare, the library entry routine, and the "Warning" message box. Start, Continue and
// Finish are handed on; the result word is written in one place for every call.
#include "module/host/host.h"
#include "module/module_state.h"
#include "module/scripting/scripting.h"

namespace {

constexpr int16_t kSelectorAbout = 0;
constexpr int16_t kSelectorParameters = 1;
constexpr int16_t kSelectorPrepare = 2;
constexpr int16_t kSelectorStart = 3;
constexpr int16_t kSelectorContinue = 4;
constexpr int16_t kSelectorFinish = 5;

HWND window_of(void* platform_data) {
  if (platform_data == nullptr) return nullptr;  // some hosts pass no window at all
  return static_cast<HWND>(static_cast<filter_api::PlatformData*>(platform_data)->hwnd);
}

void dispatch(int16_t selector) {
  ModuleState& s = module_state;
  switch (selector) {
    case kSelectorAbout:
      show_about();
      break;
    case kSelectorParameters:
      set_show_dialog(1);
      break;
    case kSelectorPrepare:
      scripting_begin_run();
      prepare_filter();
      break;
    case kSelectorStart:
      // A run the host left without Finish (it stopped calling Continue) gives back what it
      // still holds before the new one is planned.
      if (s.plan.run_active) release_all();
      start_setup();
      if (s.host.result_code == 0) read_played_settings();
      if (s.host.result_code == 0) start_filter();
      // A Start that fails asks for nothing, so a host that goes by the rectangles stops.
      if (s.host.result_code != 0) end_requests();
      break;
    case kSelectorContinue:
      continue_filter();
      break;
    case kSelectorFinish:
      release_all();
      s.plan.run_active = false;  // a Continue after Finish finds no run to carry on
      break;
  }
}

}  // namespace

extern "C" void ENTRYPOINT1(int16_t selector, void* parameter_block, intptr_t* /*data*/,
                            int16_t* result) {
  ModuleState& s = module_state;
  s.host.filter_record = nullptr;
  s.host.about_record = nullptr;
  s.host.result_code = 0;
  bool known = selector >= kSelectorAbout && selector <= kSelectorFinish;
  if (!known) {
    s.host.result_code = filter_api::filterBadParameters;
  } else if (selector == kSelectorAbout) {
    s.host.about_record = static_cast<filter_api::AboutRecord*>(parameter_block);
    dispatch(selector);
  } else if (parameter_block == nullptr) {
    s.host.result_code = filter_api::filterBadParameters;  // nothing to work on
  } else {
    s.host.filter_record = static_cast<filter_api::FilterRecord*>(parameter_block);
    dispatch(selector);
  }
  if (result != nullptr) *result = s.host.result_code;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
  if (reason == DLL_PROCESS_ATTACH) module_state.host.module_instance = instance;
  return TRUE;
}

HWND host_window() {
  filter_api::FilterRecord* host = module_state.host.filter_record;
  return host == nullptr ? nullptr : window_of(host->platformData);
}

void show_about() {
  ModuleState& s = module_state;
  char text[256];
  char caption[60];
  LoadStringA(s.host.module_instance, 1, text, sizeof text);
  LoadStringA(s.host.module_instance, 2, caption, sizeof caption);
  HWND owner =
      s.host.about_record == nullptr ? nullptr : window_of(s.host.about_record->platformData);
  MessageBoxA(owner, text, caption, MB_ICONINFORMATION);
}

void set_show_dialog(uint8_t value) {
  ParameterRecord* record = lock_record();
  if (record == nullptr) return;
  record->show_dialog = int32_t(value);
  unlock_record();
}

int32_t get_show_dialog() {
  ParameterRecord* record = lock_record();
  if (record == nullptr) return 1;
  int32_t value = record->show_dialog;
  unlock_record();
  return value;
}

void create_parameter_record() {
  ModuleState& s = module_state;
  s.host.record_bytes_made = 0;
  // A handle that can be read neither as a block nor through the host's procedures holds
  // settings the module cannot see: it makes its own record, and so shows the dialog, rather
  // than filtering with settings the user never chose.
  if (s.host.filter_record->parameters != nullptr && record_access() != RecordAccess::kNone) return;
  HGLOBAL block = nullptr;  // a record maxSpace cannot hold is not made
  if (s.host.filter_record->maxSpace >= int32_t(sizeof(ParameterRecord)))
    block = block_alloc(sizeof(ParameterRecord));
  if (block == nullptr) {
    s.host.result_code = filter_api::memFullErr;
    return;
  }
  s.host.record_bytes_made = int32_t(sizeof(ParameterRecord));
  auto* record = static_cast<ParameterRecord*>(block_lock(block));
  fill_default_record(record);
  block_unlock(block);
  s.host.filter_record->parameters = reinterpret_cast<char**>(block);
}

void prepare_filter() {
  ModuleState& s = module_state;
  filter_api::FilterRecord* host = s.host.filter_record;
  switch (host->imageMode) {
    case filter_api::plugInModeGrayScale:
    case filter_api::plugInModeMultichannel:
    case filter_api::plugInModeDuotone:
      s.host.bytes_per_pixel = 1;
      break;
    case filter_api::plugInModeCMYKColor:
      s.host.bytes_per_pixel = 4;
      break;
    case filter_api::plugInModeLabColor:
      s.host.bytes_per_pixel = 3;
      if (dialog_wanted(get_show_dialog())) {
        show_warning(
            "This plug-in does not support Lab Color. Use in this mode is permitted, but may "
            "result in incorrect colors. For better results, switch to RGB.");
      }
      break;
    default:
      s.host.bytes_per_pixel = 3;
      break;
  }
  // A reversed rectangle is an empty filter area, never a negative size.
  const filter_api::Rect& area = host->filterRect;
  s.host.filter_width = int16_t(area.right > area.left ? area.right - area.left : 0);
  s.host.filter_height = int16_t(area.bottom > area.top ? area.bottom - area.top : 0);
  s.plan.work_width = s.host.filter_width;
  s.plan.work_height = s.host.filter_height;
  s.host.row_bytes = int32_t(s.host.filter_width) * s.host.bytes_per_pixel;
  s.plan.work_row_bytes = s.host.row_bytes;
  host->bufferSpace = 0;
}

void show_warning(const char* text) { MessageBoxA(host_window(), text, "Warning", MB_OK); }
