// Modules: LoadLibraryA opens a shared object with dlopen, reads its embedded .res bytes and
// calls its DllMain with the module handle, as Windows does at load; GetProcAddress,
// FreeLibrary and GetModuleHandleA follow. Also the thread's last-error value.
#include <dlfcn.h>

#include <cstring>
#include <list>
#include <mutex>
#include <string>

#include "headless_win32/headless.h"
#include "headless_win32/modules.h"

namespace {

struct Module {
  void* library = nullptr;  // dlopen handle; null for the main program
  std::string path;
  int references = 0;
  std::vector<headless_detail::Resource> resources;
};

using DllMainProc = BOOL (*)(HINSTANCE, DWORD, LPVOID);

struct Registry {
  std::recursive_mutex mutex;
  std::list<Module> modules;  // stable addresses: a module's handle is its address
  Module main_program;
  std::string last_error;
};

Registry& registry() {
  static Registry& r = *new Registry;  // never destroyed, like the process's modules
  return r;
}

thread_local DWORD last_error_value = 0;

HMODULE handle_of(Module& m) { return reinterpret_cast<HMODULE>(&m); }

Module* find_module(HMODULE handle) {
  Registry& r = registry();
  if (handle == handle_of(r.main_program)) return &r.main_program;
  for (Module& m : r.modules)
    if (handle_of(m) == handle) return &m;
  return nullptr;
}

}  // namespace

namespace headless_detail {

void set_last_error(DWORD error) { last_error_value = error; }

const std::vector<Resource>* module_resources(HMODULE module) {
  Registry& r = registry();
  std::lock_guard<std::recursive_mutex> lock(r.mutex);
  Module* m = find_module(module);
  return m == nullptr ? nullptr : &m->resources;
}

}  // namespace headless_detail

DWORD GetLastError(void) { return last_error_value; }

HMODULE LoadLibraryA(LPCSTR path) {
  Registry& r = registry();
  std::lock_guard<std::recursive_mutex> lock(r.mutex);
  void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* why = dlerror();
    r.last_error = why != nullptr ? why : "cannot be loaded";
    headless_detail::set_last_error(126);  // ERROR_MOD_NOT_FOUND
    return nullptr;
  }
  for (Module& m : r.modules) {
    if (m.library == library) {
      dlclose(library);  // dlopen counted it again; our own count is enough
      ++m.references;
      return handle_of(m);
    }
  }
  r.modules.emplace_back();
  Module& m = r.modules.back();
  m.library = library;
  m.path = path;
  m.references = 1;
  auto* bytes = static_cast<const unsigned char*>(dlsym(library, "headless_resources"));
  auto* size = static_cast<const std::size_t*>(dlsym(library, "headless_resources_size"));
  if (bytes != nullptr && size != nullptr) m.resources = headless_detail::parse_res(bytes, *size);
  auto entry = reinterpret_cast<DllMainProc>(dlsym(library, "DllMain"));
  if (entry != nullptr && !entry(handle_of(m), DLL_PROCESS_ATTACH, nullptr)) {
    r.last_error = std::string(path) + ": its DllMain refused to load";
    dlclose(library);
    r.modules.pop_back();
    headless_detail::set_last_error(1114);  // ERROR_DLL_INIT_FAILED
    return nullptr;
  }
  return handle_of(m);
}

BOOL FreeLibrary(HMODULE handle) {
  Registry& r = registry();
  std::lock_guard<std::recursive_mutex> lock(r.mutex);
  for (auto it = r.modules.begin(); it != r.modules.end(); ++it) {
    if (handle_of(*it) != handle) continue;
    if (--it->references > 0) return TRUE;
    auto entry = reinterpret_cast<DllMainProc>(dlsym(it->library, "DllMain"));
    if (entry != nullptr) entry(handle, DLL_PROCESS_DETACH, nullptr);
    dlclose(it->library);
    r.modules.erase(it);
    return TRUE;
  }
  headless_detail::set_last_error(6);
  return FALSE;
}

void* GetProcAddress(HMODULE handle, LPCSTR name) {
  Registry& r = registry();
  std::lock_guard<std::recursive_mutex> lock(r.mutex);
  Module* m = find_module(handle);
  if (m == nullptr || name == nullptr || IS_INTRESOURCE(name)) {
    headless_detail::set_last_error(127);  // ERROR_PROC_NOT_FOUND
    return nullptr;
  }
  void* symbol = dlsym(m->library != nullptr ? m->library : RTLD_DEFAULT, name);
  if (symbol == nullptr) headless_detail::set_last_error(127);
  return symbol;
}

HMODULE GetModuleHandleA(LPCSTR name) {
  Registry& r = registry();
  std::lock_guard<std::recursive_mutex> lock(r.mutex);
  if (name == nullptr) return handle_of(r.main_program);
  std::string wanted(name);
  for (Module& m : r.modules) {
    std::size_t slash = m.path.find_last_of('/');
    std::string base = slash == std::string::npos ? m.path : m.path.substr(slash + 1);
    if (strcasecmp(base.c_str(), wanted.c_str()) == 0 || m.path == wanted) return handle_of(m);
  }
  headless_detail::set_last_error(126);
  return nullptr;
}

namespace headless {

void set_main_resources(const unsigned char* res_bytes, std::size_t size) {
  Registry& r = registry();
  std::lock_guard<std::recursive_mutex> lock(r.mutex);
  r.main_program.resources = headless_detail::parse_res(res_bytes, size);
}

std::string last_library_error() {
  Registry& r = registry();
  std::lock_guard<std::recursive_mutex> lock(r.mutex);
  return r.last_error;
}

}  // namespace headless
