// Process entry on Linux (x86-64, arm64) for a static position-independent
// program linked without a C library: relocate the image and make its
// relocated data read-only (where it has any), set up the stack guard,
// bind the OS table, then run the main block. Start-up is most of this
// program's cost, and a C library's own start-up is many times the work of
// everything else it does.
//
// Until the image is relocated nothing here may read a stored address, so
// this file is built without the stack protector and uses only
// position-relative references.
#include <elf.h>

#include <cstddef>
#include <cstdint>

#include "runtime/os/posix/linux_syscall.h"
#include "runtime/os/os.h"

extern "C" {
extern const Elf64_Ehdr __ehdr_start __attribute__((visibility("hidden")));
extern Elf64_Dyn _DYNAMIC[] __attribute__((visibility("hidden")));
[[noreturn]] void P5Start(std::uintptr_t* stack);
}

#if defined(__x86_64__)
__asm__(
    ".text\n"
    ".globl _start\n"
    "_start:\n"
    "    xorl %ebp, %ebp\n"
    "    movq %rsp, %rdi\n"  // argc, argv..., 0, envp..., 0, auxv
    "    andq $-16, %rsp\n"
    "    call P5Start\n"
    "    hlt\n");
constexpr std::uint32_t kRelativeRelocation = R_X86_64_RELATIVE;
constexpr bool kGuardInRelocatedData = false;
#elif defined(__aarch64__)
__asm__(
    ".text\n"
    ".globl _start\n"
    "_start:\n"
    "    mov x29, #0\n"
    "    mov x30, #0\n"
    "    mov x0, sp\n"  // argc, argv..., 0, envp..., 0, auxv; 16-aligned
    "    bl P5Start\n"
    "    udf #0\n");
constexpr std::uint32_t kRelativeRelocation = R_AARCH64_RELATIVE;
constexpr bool kGuardInRelocatedData = true;

// Where arm64 code compiled with the stack protector finds the guard. It
// lies in the relocated data that start-up makes read-only.
extern "C" {
__attribute__((section(".data.rel.ro"), visibility("hidden"))) constinit std::uintptr_t __stack_chk_guard = 0;
}
#endif

namespace {

[[noreturn]] void Fail() {
    for (;;) p5sys::Call(p5sys::kExitGroup, 127);
}

// Applies the image's relative relocations; false when it has none, as
// patch500 itself has none (its tables are filled by code), so that a run
// reads no more of its image than it executes.
bool Relocate(std::uintptr_t base) {
    const Elf64_Rela* relocations = nullptr;
    std::size_t bytes = 0;
    for (const Elf64_Dyn* d = _DYNAMIC; d->d_tag != DT_NULL; ++d) {
        if (d->d_tag == DT_RELA) relocations = reinterpret_cast<const Elf64_Rela*>(base + d->d_un.d_ptr);
        if (d->d_tag == DT_RELASZ) bytes = d->d_un.d_val;
    }
    for (std::size_t i = 0; i < bytes / sizeof(Elf64_Rela); ++i) {
        const Elf64_Rela& r = relocations[i];
        if (ELF64_R_TYPE(r.r_info) != kRelativeRelocation) Fail();  // nothing else is linked in
        *reinterpret_cast<std::uintptr_t*>(base + r.r_offset) = base + r.r_addend;
    }
    return bytes != 0;
}

// The relocated data, read-only from here on.
void ProtectRelocated(std::uintptr_t base, std::uintptr_t pageSize) {
    const Elf64_Ehdr& header = __ehdr_start;
    const auto* segments =
        reinterpret_cast<const Elf64_Phdr*>(reinterpret_cast<const char*>(&header) + header.e_phoff);
    for (std::size_t i = 0; i < header.e_phnum; ++i) {
        if (segments[i].p_type != PT_GNU_RELRO) continue;
        std::uintptr_t start = (base + segments[i].p_vaddr) & ~(pageSize - 1);
        std::uintptr_t end = (base + segments[i].p_vaddr + segments[i].p_memsz) & ~(pageSize - 1);
        if (end > start) p5sys::Call(p5sys::kMprotect, static_cast<long>(start), static_cast<long>(end - start), 1);
    }
}

#if defined(__x86_64__)
// No thread-local storage: no thread can exist without a C library, and
// the build refuses a program that has any. The thread pointer only
// locates the stack guard, at %fs:0x28 in a control block that starts
// with its own address.
alignas(64) constinit std::uintptr_t threadControl[8] = {};

// AT_HWCAP2 bit: the kernel lets user code set the FS base itself.
constexpr std::uint64_t kHwcap2FsGsBase = 1u << 1;

void SetUpStackGuard(std::uint64_t guard, std::uint64_t hwcap2) {
    constexpr long kArchSetFs = 0x1002;
    auto tp = reinterpret_cast<std::uintptr_t>(threadControl);
    threadControl[0] = tp;
    threadControl[5] = static_cast<std::uintptr_t>(guard);
    if (hwcap2 & kHwcap2FsGsBase) {
        __asm__ volatile("wrfsbase %0" : : "r"(tp) : "memory");  // no system call
    } else if (p5sys::Call(p5sys::kArchPrctl, kArchSetFs, static_cast<long>(tp)) != 0) {
        Fail();
    }
}
#elif defined(__aarch64__)
void SetUpStackGuard(std::uint64_t guard, std::uint64_t) {
    __stack_chk_guard = static_cast<std::uintptr_t>(guard);
}
#endif

}  // namespace

extern "C" __attribute__((used)) void P5Start(std::uintptr_t* stack) {
    auto count = static_cast<int>(stack[0]);
    char** arguments = reinterpret_cast<char**>(stack + 1);
    std::uintptr_t* cursor = stack + 1 + count + 1;
    while (*cursor != 0) ++cursor;  // the environment
    std::uint64_t guard = 0;
    std::uint64_t hwcap2 = 0;
    std::uintptr_t pageSize = 4096;
    for (auto* aux = reinterpret_cast<Elf64_auxv_t*>(cursor + 1); aux->a_type != AT_NULL; ++aux) {
        if (aux->a_type == AT_RANDOM) __builtin_memcpy(&guard, reinterpret_cast<void*>(aux->a_un.a_val), 8);
        if (aux->a_type == AT_PAGESZ) pageSize = aux->a_un.a_val;
        if (aux->a_type == AT_HWCAP2) hwcap2 = aux->a_un.a_val;
    }
    guard &= ~std::uint64_t{0xFF};  // a zero byte stops string overruns

    // A position-independent image is linked at 0: where its header lies
    // is where it was loaded. Only the address is taken, not the header read.
    auto base = reinterpret_cast<std::uintptr_t>(&__ehdr_start);
    bool relocated = Relocate(base);
    SetUpStackGuard(guard, hwcap2);
    // arm64 keeps the guard itself among the relocated data.
    if (relocated || kGuardInRelocatedData) ProtectRelocated(base, pageSize);

    os::BindSystemCalls();
    os::SetArgumentVector(count, arguments);
    ProgramMain();
    os::ExitProcess(0);
}
