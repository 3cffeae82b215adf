// The routines a backend provides for the table `sys`, the same names on
// every platform; bind.cpp puts them in the table. Each does what its
// slot in os.h promises.
#pragma once

#include "runtime/os/os.h"

// Hidden: the addresses are taken in another file, and a static program
// then reaches them without a relocated entry.
#pragma GCC visibility push(hidden)
namespace os::backend {

Error OpenExisting(const char* path, Access access, Handle* handle);
Error GetStdHandle(StdStream which, Handle* handle);
Error Read(Handle handle, void* buffer, std::uint32_t size, std::uint32_t* done);
Error Write(Handle handle, const void* buffer, std::uint32_t size, std::uint32_t* done);
Error FileSize(Handle handle, std::uint64_t* size);
Error FlushToDisk(Handle handle);
Error Close(Handle handle);
FileType GetFileType(Handle handle);
bool HeldHere(const char* path);
Error NamesOpenFile(const char* path, Handle handle);
void Pause(std::uint32_t milliseconds);
Error Reserve(std::size_t size, void** base);
Error Commit(void* address, std::size_t size);
Error Release(void* base, std::size_t size);

// Fills the backend's own table of system calls, where it keeps one.
void BindOwnCalls();

}  // namespace os::backend
#pragma GCC visibility pop
