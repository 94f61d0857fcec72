// Test program entry: gives the module code linked into this program its resources and its
// instance handle, as loading the module would, then runs every test.
#include <windows.h>

#include <gtest/gtest.h>

#include "module/host/host.h"
#ifndef _WIN32
#include "headless_win32/headless.h"
#endif

int main(int argc, char** argv) {
#ifndef _WIN32
  // On Windows the resources are linked into this program; here they are registered.
  headless::set_main_resources(headless_resources, headless_resources_size);
#endif
  DllMain(GetModuleHandleA(nullptr), DLL_PROCESS_ATTACH, nullptr);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
