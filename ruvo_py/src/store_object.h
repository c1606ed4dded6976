// The NativeStore object as the module's sources share it: its memory
// layout, the type object, and the check that an object serves only the
// process that opened it.
//
// The object owns its session: constructed in place when the object is
// made, destroyed by the type's deallocator. The type object is created once
// per process and never freed, so `g_type`, once set, stays valid for the
// life of the process. Everything here requires the interpreter lock.
#pragma once

// Python.h (through the helpers) comes before any standard header.
#include "ruvo_py/src/py_helpers.h"

#include <sys/types.h>

#include <cstdint>
#include <new>

#include "ruvo_engine/src/session.h"

namespace ruvo::native {

// Python object header, the owned session, the borrow flag and the process
// that opened the session. The memory comes zeroed from the type's
// allocator; the session is constructed in place.
struct StoreObject {
  PyObject_HEAD
  alignas(EngineSession) unsigned char storage[sizeof(EngineSession)];
  uint64_t borrow;
  pid_t owner;

  EngineSession& session() { return *std::launder(reinterpret_cast<EngineSession*>(storage)); }
};

extern PyTypeObject* g_type;  // created once per process, never freed

// The current process (see module.cc), cached so that the check below costs
// no system call.
extern pid_t g_pid;

// Raises the RuntimeError refusing a store opened by another process (after
// fork). Always returns false.
bool refuse_other_process(const StoreObject* store);

// True when `store` was opened by this process; otherwise RuntimeError.
inline bool opened_here(const StoreObject* store) {
  return store->owner == g_pid || refuse_other_process(store);
}

}  // namespace ruvo::native
