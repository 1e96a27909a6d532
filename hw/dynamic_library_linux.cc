#include <dlfcn.h>

#include "hw/dynamic_library.h"

namespace idlewick {

LibraryHandle LoadDynamicLibrary(const char* file_name) noexcept {
  if (file_name == nullptr) return nullptr;
  // RTLD_LOCAL keeps a vendor library's symbols from resolving anyone
  // else's references; RTLD_NOW surfaces a broken library here rather than
  // as a crash at its first call.
  return static_cast<LibraryHandle>(::dlopen(file_name, RTLD_LOCAL | RTLD_NOW));
}

LibraryEntry FindLibraryEntry(LibraryHandle library,
                              const char* name) noexcept {
  if (library == nullptr || name == nullptr) return nullptr;
  // POSIX guarantees that a dlsym result converts to a function pointer.
  return reinterpret_cast<LibraryEntry>(::dlsym(library, name));
}

void FreeDynamicLibrary(LibraryHandle library) noexcept {
  if (library != nullptr) ::dlclose(library);
}

}  // namespace idlewick
