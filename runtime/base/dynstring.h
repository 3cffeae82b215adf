// Reference-counted byte strings. The value is the address of the first
// byte, or null for the empty string. In front of the bytes stand a signed
// 32-bit reference count and a 32-bit length, behind them one zero byte:
// a string of n bytes takes n + 9 bytes of heap. Literals count -1 and are
// never counted or freed.
#pragma once

#include <cstddef>
#include <cstdint>

struct StringHeader {
    std::int32_t RefCount;
    std::uint32_t Length;
};

template <std::size_t N>
struct StringLiteral {
    StringHeader Header;
    char Bytes[N];

    consteval StringLiteral(const char (&text)[N])
        : Header{-1, static_cast<std::uint32_t>(N - 1)}, Bytes{} {
        for (std::size_t i = 0; i < N; ++i) Bytes[i] = text[i];
    }
};

class DynString {
public:
    constexpr DynString() = default;
    template <std::size_t N>
    constexpr DynString(const StringLiteral<N>& literal)  // NOLINT: implicit on purpose
        : bytes_(const_cast<char*>(literal.Bytes)) {}
    DynString(const DynString& other);
    DynString& operator=(const DynString& other);
    ~DynString() { Release(); }

    // A new string with reference count 1; the empty string for length 0.
    static DynString FromBytes(const char* bytes, std::uint32_t length);

    // A new string of `length` zero bytes, to be filled through
    // MutableBytes before it is shared; the empty string for length 0.
    static DynString OfLength(std::uint32_t length);
    char* MutableBytes() { return bytes_; }

    // Replaces the value: the new one is built first, then the old released.
    void Assign(const char* bytes, std::uint32_t length);

    void Release();  // back to the empty string

    const char* Bytes() const { return bytes_; }
    const char* CStr() const { return bytes_ != nullptr ? bytes_ : ""; }
    std::uint32_t Length() const { return bytes_ != nullptr ? Header()->Length : 0; }
    std::int32_t RefCount() const { return bytes_ != nullptr ? Header()->RefCount : 0; }
    bool Empty() const { return bytes_ == nullptr; }

private:
    StringHeader* Header() const { return reinterpret_cast<StringHeader*>(bytes_) - 1; }
    void AddRef() const;

    char* bytes_ = nullptr;
};

// Clean-up work for a block whose only clean-up is one string.
void ReleaseStringWork(void* string);
