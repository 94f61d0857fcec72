// Inside the host library: the descriptor suites a scripting host offers for one run, and the
// host heap's handles they hand out (host.cpp keeps the heap, descriptors.cpp the suites).
#pragma once

#include <cstdint>
#include <memory>

#include "filter_api/descriptors.h"
#include "filter_api/filter_api.h"
#include "plugin_host/plugin_host.h"

namespace plugin_host::detail {

// Handles of the host's own heap: *handle is the data, the size is kept beside it.
char** heap_new(int32_t size);
void heap_dispose(char** handle);
int32_t heap_size(char** handle);
// The host's handle procedures over that heap.
const filter_api::HandleProcs* heap_procs();

// The descriptor parameters and both procedure tables of one run, with the played step's
// handle in place. The suites' calls reach the session of this thread's run.
class DescriptorSession {
 public:
  explicit DescriptorSession(const Scripting& scripting);
  ~DescriptorSession();
  DescriptorSession(const DescriptorSession&) = delete;
  DescriptorSession& operator=(const DescriptorSession&) = delete;

  filter_api::PIDescriptorParameters* parameters();
  // After the run: what the module left, and every handle and token the run still holds
  // given back.
  ScriptingOutcome finish();

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// The heap tells the session of a handle given back; false when it is none of the session's.
bool descriptor_handle_disposed(char** handle);

}  // namespace plugin_host::detail
