// Dynamic strings, the heap under them, and the checked memory calls that
// turn the heap's refusals into run-time errors 203 and 204.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "recording_os.h"
#include "runtime/base/checked_memory.h"
#include "runtime/base/dynstring.h"
#include "runtime/base/heap.h"
#include "runtime/terminate/terminate.h"

namespace {

// Not const: a literal's count must stay -1 because nothing writes it,
// not because the page is read-only.
constinit StringLiteral kHello{"Hello"};

const StringHeader* HeaderOf(const DynString& s) {
    return reinterpret_cast<const StringHeader*>(s.Bytes()) - 1;
}

std::string Text(const DynString& s) { return std::string(s.Bytes(), s.Length()); }

// In a death test's child: a console program, its reports on standard
// error, whose heap gets no memory from the system.
void StartWithoutSystemMemory() {
    InitRuntime();
    ConsoleProgram = true;
    fake::RouteConsoleToStderr();
    HeapReleaseAll();
    os::sys.Reserve = [](std::size_t, void**) -> os::Error { return ENOMEM; };
}

std::string ReportPattern(int number) {
    return "Runtime error " + std::to_string(number) + " at [0-9A-F]{8}\r\n";
}

}  // namespace

// --- DynString ---------------------------------------------------------------

// The n bytes stand between an 8-byte header and one zero byte: n + 9.
TEST(DynString, FromBytesLaysOutHeaderBytesAndTrailingZero) {
    for (std::uint32_t n : {1u, 7u, 8u, 100u, 5000u}) {
        SCOPED_TRACE(testing::Message() << "length " << n);
        std::string source(n, 'q');
        source[0] = 'a';
        DynString s = DynString::FromBytes(source.data(), n);

        ASSERT_NE(s.Bytes(), nullptr);
        EXPECT_NE(s.Bytes(), source.data());
        const StringHeader* header = HeaderOf(s);
        EXPECT_EQ(header->RefCount, 1);
        EXPECT_EQ(header->Length, n);
        EXPECT_EQ(s.Length(), n);
        EXPECT_EQ(Text(s), source);
        EXPECT_EQ(s.Bytes()[n], '\0');
        EXPECT_EQ(reinterpret_cast<const char*>(header) + sizeof(StringHeader) + n + 1,
                  s.Bytes() + n + 1);
        EXPECT_EQ(sizeof(StringHeader), 8u);
    }
}

TEST(DynString, NoBytesGiveTheNullString) {
    DynString s = DynString::FromBytes("ignored", 0);
    EXPECT_EQ(s.Bytes(), nullptr);
    EXPECT_TRUE(s.Empty());
    EXPECT_EQ(s.Length(), 0u);
    EXPECT_STREQ(s.CStr(), "");
}

TEST(DynString, CopiesShareTheBytesAndCountThem) {
    DynString a = DynString::FromBytes("abc", 3);
    {
        DynString b = a;
        EXPECT_EQ(b.Bytes(), a.Bytes());
        EXPECT_EQ(a.RefCount(), 2);
        DynString c;
        c = b;
        EXPECT_EQ(c.Bytes(), a.Bytes());
        EXPECT_EQ(a.RefCount(), 3);
        c.Release();
        EXPECT_TRUE(c.Empty());
        EXPECT_EQ(a.RefCount(), 2);
    }
    EXPECT_EQ(a.RefCount(), 1);
    EXPECT_EQ(Text(a), "abc");
}

TEST(DynString, LiteralIsNeverCountedOrFreed) {
    {
        DynString a = kHello;
        DynString b = a;
        DynString c;
        c = b;
        EXPECT_EQ(a.Bytes(), kHello.Bytes);
        EXPECT_EQ(c.RefCount(), -1);
        EXPECT_EQ(a.Length(), 5u);
        b.Release();
        c = DynString::FromBytes("x", 1);  // the literal is replaced, not freed
    }
    EXPECT_EQ(kHello.Header.RefCount, -1);
    EXPECT_EQ(kHello.Header.Length, 5u);
    EXPECT_STREQ(kHello.Bytes, "Hello");
}

// The new value is built while the old one still lives: a string can be
// given a part of itself.
TEST(DynString, AssignBuildsNewValueBeforeReleasingOld) {
    DynString s = DynString::FromBytes("abcdef", 6);
    const char* old = s.Bytes();
    DynString keep = s;

    s.Assign(s.Bytes() + 1, 3);

    EXPECT_EQ(Text(s), "bcd");
    EXPECT_NE(s.Bytes(), old);
    EXPECT_EQ(s.RefCount(), 1);
    EXPECT_EQ(keep.RefCount(), 1);  // the old value lost exactly one reference
    EXPECT_EQ(Text(keep), "abcdef");

    s.Assign(s.Bytes(), 3);  // sole owner, own bytes
    EXPECT_EQ(Text(s), "bcd");
    s.Assign("x", 0);
    EXPECT_TRUE(s.Empty());
}

TEST(DynString, AssignmentReleasesOldValueOnce) {
    DynString target = DynString::FromBytes("old", 3);
    DynString keepOld = target;
    DynString source = DynString::FromBytes("new", 3);

    target = source;

    EXPECT_EQ(Text(target), "new");
    EXPECT_EQ(source.RefCount(), 2);
    EXPECT_EQ(keepOld.RefCount(), 1);
}

TEST(DynString, SelfAssignmentKeepsTheString) {
    DynString s = DynString::FromBytes("self", 4);
    const char* bytes = s.Bytes();
    DynString& alias = s;

    s = alias;

    EXPECT_EQ(s.Bytes(), bytes);
    EXPECT_EQ(s.RefCount(), 1);
    EXPECT_EQ(Text(s), "self");
}

// --- Heap --------------------------------------------------------------------

TEST(Heap, GetAndFreeRoundTrip) {
    for (std::size_t size :
         {std::size_t{1}, std::size_t{100}, std::size_t{4096}, std::size_t{2} * 1024 * 1024}) {
        SCOPED_TRACE(testing::Message() << "size " << size);
        auto* block = static_cast<unsigned char*>(HeapGet(size));
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % 16, 0u);
        std::memset(block, 0xA5, size);  // all of it is usable
        EXPECT_TRUE(HeapFree(block));
    }
}

TEST(Heap, FreeRefusesPointersItDidNotHandOut) {
    alignas(16) char onStack[64] = {};
    void* fromMalloc = std::malloc(64);
    auto* ours = static_cast<char*>(HeapGet(64));
    ASSERT_NE(ours, nullptr);

    EXPECT_FALSE(HeapFree(nullptr));
    EXPECT_FALSE(HeapFree(onStack + 16));
    EXPECT_FALSE(HeapFree(fromMalloc));
    EXPECT_FALSE(HeapFree(ours + 1));  // inside a block, not its start

    EXPECT_TRUE(HeapFree(ours));
    std::free(fromMalloc);
}

TEST(Heap, SecondFreeOfSameBlockFails) {
    // Small blocks go to a free list; large ones give their region back.
    for (std::size_t size : {std::size_t{32}, std::size_t{2} * 1024 * 1024}) {
        SCOPED_TRACE(testing::Message() << "size " << size);
        void* block = HeapGet(size);
        ASSERT_NE(block, nullptr);
        EXPECT_TRUE(HeapFree(block));
        EXPECT_FALSE(HeapFree(block));
    }
}

TEST(Heap, GetReturnsNullWhenSystemRefusesAddressSpace) {
    HeapReleaseAll();
    fake::RecordingOs fakeOs;
    fakeOs.reserveError = ENOMEM;
    // The first small blocks come from the program's own region, without
    // asking the system; once it is used up, the refusal shows.
    int served = 0;
    while (HeapGet(16) != nullptr) ++served;
    EXPECT_GT(served, 1000);
    EXPECT_EQ(fakeOs.reserves, 0);  // none succeeded
    EXPECT_EQ(HeapGet(std::size_t{2} * 1024 * 1024), nullptr);
    EXPECT_EQ(HeapGet(0), nullptr);
    HeapReleaseAll();
}

TEST(Heap, ReleaseAllGivesBackEveryReservation) {
    HeapReleaseAll();  // start from a heap that holds nothing
    fake::RecordingOs fakeOs;

    // Several regions: blocks too big to share one, and large blocks of
    // their own, one of them freed (its region goes back at once).
    for (int i = 0; i < 3; ++i) ASSERT_NE(HeapGet(400 * 1024), nullptr);
    for (int i = 0; i < 20; ++i) ASSERT_NE(HeapGet(100), nullptr);
    void* large = HeapGet(std::size_t{3} * 1024 * 1024);
    ASSERT_NE(HeapGet(std::size_t{2} * 1024 * 1024), nullptr);
    ASSERT_NE(large, nullptr);
    EXPECT_TRUE(HeapFree(large));
    EXPECT_GE(fakeOs.reserves, 5);

    HeapReleaseAll();

    EXPECT_EQ(fakeOs.releases, fakeOs.reserves);
    EXPECT_TRUE(fakeOs.reserved.empty());
    EXPECT_FALSE(fakeOs.releaseMismatch);

    // The heap starts over afterwards.
    void* again = HeapGet(100);
    EXPECT_NE(again, nullptr);
    HeapReleaseAll();
    EXPECT_EQ(fakeOs.releases, fakeOs.reserves);
}

// --- Checked memory ------------------------------------------------------------

// Each check runs in a child: had it raised anyway, the process would end
// with a run-time error instead of the exit code the test chose.
TEST(CheckedMemoryDeathTest, ZeroSizeAndNullReleaseAskNothing) {
    EXPECT_EXIT(
        {
            InitRuntime();
            ConsoleProgram = true;
            HeapReleaseAll();
            os::sys.Reserve = [](std::size_t, void**) -> os::Error { return ENOMEM; };
            void* block = GetMemChecked(0);  // the heap would answer null: 203
            FreeMemChecked(nullptr);
            _exit(block == nullptr ? 42 : 1);
        },
        testing::ExitedWithCode(42), "");
}

TEST(CheckedMemoryDeathTest, RequestTheHeapCannotSatisfyEndsWith203) {
    EXPECT_EXIT(
        {
            StartWithoutSystemMemory();
            GetMemChecked(100 * 1024);  // more than the program's own region holds
        },
        testing::ExitedWithCode(203), testing::MatchesRegex(ReportPattern(203)));
}

TEST(CheckedMemoryDeathTest, StringWithoutMemoryEndsWith203) {
    EXPECT_EXIT(
        {
            StartWithoutSystemMemory();
            static char text[100 * 1024];
            DynString s = DynString::FromBytes(text, sizeof text);
        },
        testing::ExitedWithCode(203), testing::MatchesRegex(ReportPattern(203)));
}

TEST(CheckedMemoryDeathTest, ReleaseTheHeapRefusesEndsWith204) {
    EXPECT_EXIT(
        {
            InitRuntime();
            ConsoleProgram = true;
            fake::RouteConsoleToStderr();
            alignas(16) static char foreign[64];
            FreeMemChecked(foreign + 16);
        },
        testing::ExitedWithCode(204), testing::MatchesRegex(ReportPattern(204)));
}
