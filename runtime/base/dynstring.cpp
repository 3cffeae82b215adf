// Dynamic strings: the reference count, the copy and release, and a new
// string from bytes.
#include "runtime/base/dynstring.h"

#include "runtime/base/checked_memory.h"

void DynString::AddRef() const {
    if (bytes_ != nullptr && Header()->RefCount > 0) ++Header()->RefCount;
}

DynString::DynString(const DynString& other) : bytes_(other.bytes_) { AddRef(); }

DynString& DynString::operator=(const DynString& other) {
    other.AddRef();
    char* old = bytes_;
    bytes_ = other.bytes_;
    DynString released;
    released.bytes_ = old;  // its destructor drops the old reference
    return *this;
}

void DynString::Release() {
    if (bytes_ == nullptr) return;
    StringHeader* header = Header();
    bytes_ = nullptr;
    if (header->RefCount > 0 && --header->RefCount == 0) FreeMemChecked(header);
}

DynString DynString::OfLength(std::uint32_t length) {
    DynString result;
    if (length == 0) return result;
    auto* header = static_cast<StringHeader*>(GetMemChecked(sizeof(StringHeader) + length + 1));
    header->RefCount = 1;
    header->Length = length;
    char* target = reinterpret_cast<char*>(header + 1);
    __builtin_memset(target, 0, length + 1);
    result.bytes_ = target;
    return result;
}

DynString DynString::FromBytes(const char* bytes, std::uint32_t length) {
    DynString result = OfLength(length);
    if (length != 0) __builtin_memcpy(result.bytes_, bytes, length);
    return result;
}

void DynString::Assign(const char* bytes, std::uint32_t length) {
    DynString fresh = FromBytes(bytes, length);
    char* old = bytes_;
    bytes_ = fresh.bytes_;
    fresh.bytes_ = old;  // released when fresh goes
}

void ReleaseStringWork(void* string) { static_cast<DynString*>(string)->Release(); }
