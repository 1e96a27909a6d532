// Loading a shared library at run time and resolving its entries by name,
// for vendor libraries that must not be linked (a machine without them still
// runs). One implementation per platform sits behind this header.
//
// Failure: a library that cannot be found or loaded gives a null handle; a
// missing entry gives a null entry. Nothing throws.
//
// Thread-safety: every function may be called from any thread; a handle must
// not be used after it was released.
#ifndef IDLEWICK_HW_DYNAMIC_LIBRARY_H_
#define IDLEWICK_HW_DYNAMIC_LIBRARY_H_

namespace idlewick {

// Opaque handle of a loaded library; null when none is loaded.
using LibraryHandle = struct LoadedLibrary*;
// An entry as resolved; cast it to the entry's real function type to call it.
using LibraryEntry = void (*)();

// Loads the library named `file_name` with the platform's usual search when
// the name has no directory. Binds every reference at once, and keeps the
// library's symbols out of the global scope. Null when it cannot be loaded.
LibraryHandle LoadDynamicLibrary(const char* file_name) noexcept;

// The entry called `name`, or null when the library lacks it.
LibraryEntry FindLibraryEntry(LibraryHandle library, const char* name) noexcept;

// Releases one load of `library`; null is ignored. Entries resolved from it
// must not be called afterwards.
void FreeDynamicLibrary(LibraryHandle library) noexcept;

}  // namespace idlewick

#endif  // IDLEWICK_HW_DYNAMIC_LIBRARY_H_
