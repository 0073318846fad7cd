// The objects behind HANDLE values. Every object starts with its kind, so
// that a call can refuse a handle of the wrong kind. Internal to the layer.
#pragma once
#include <cstdint>

#include "platform/types.h"

namespace win::detail {

enum handle_kind : uint32_t {
  kind_none = 0,
  kind_event = 0x45564E54,   // "EVNT"
  kind_thread = 0x54485244,  // "THRD"
  kind_token = 0x544F4B4E,   // "TOKN"
};

struct object_head { uint32_t kind; };

// The object behind `h` when it is of `kind`, else NULL.
inline object_head* object_of(HANDLE h, handle_kind kind) {
  if (h == nullptr || h == reinterpret_cast<HANDLE>(intptr_t(-1))) return nullptr;
  auto* o = static_cast<object_head*>(h);
  return o->kind == kind ? o : nullptr;
}

// The kind-specific halves of CloseHandle and WaitForSingleObject.
bool close_event(object_head* o);
bool close_thread(object_head* o);
bool close_token(object_head* o);
DWORD wait_event(object_head* o, DWORD milliseconds);
DWORD wait_thread(object_head* o, DWORD milliseconds);

}  // namespace win::detail
