// The heap: regions of address space from the OS layer, carved into
// blocks of a few size classes, each class with a list of freed blocks.
#include "runtime/base/heap.h"

#include <cstdint>

#include "runtime/base/heap_checker.h"
#include "runtime/os/os.h"

namespace {

constexpr std::size_t kRegionSize = 1024 * 1024;
constexpr std::size_t kCommitStep = 64 * 1024;
constexpr std::uint32_t kClassCount = 16;  // 16 bytes .. 512 KiB
constexpr std::uint32_t kLargeClass = kClassCount;
constexpr std::uint32_t kLive = 0x4C495645;
constexpr std::uint32_t kFree = 0x46524545;

struct Region {
    Region* next;
    std::size_t size;       // reserved bytes, header included
    std::size_t used;       // carved so far
    std::size_t committed;  // usable so far
};

struct alignas(16) BlockHeader {
    std::uint32_t magic;
    std::uint32_t sizeClass;
    BlockHeader* nextFree;
};

constexpr std::size_t kRegionHeader = (sizeof(Region) + 15) & ~std::size_t{15};

constinit Region* regions = nullptr;  // the region being carved is first
constinit BlockHeader* freeLists[kClassCount] = {};

// The first region is part of the program image: a run that needs only a
// few small strings asks the system for no memory at all.
constexpr std::size_t kFirstRegionSize = 64 * 1024;
// Only its start is touched by a run: it comes first of the large arrays.
alignas(16) P5_LAST_IN_MEMORY("1") constinit char firstRegion[kFirstRegionSize] = {};
constinit bool firstRegionInUse = false;

bool IsFirstRegion(const Region* region) {
    return reinterpret_cast<const char*>(region) == firstRegion;
}

std::size_t ClassBytes(std::uint32_t sizeClass) { return std::size_t{16} << sizeClass; }

Region* NewRegion(std::size_t size) {
    void* base = nullptr;
    if (os::sys.Reserve(size, &base) != 0) return nullptr;
    auto* region = static_cast<Region*>(base);
    if (os::sys.Commit(base, kCommitStep < size ? kCommitStep : size) != 0) {
        os::sys.Release(base, size);
        return nullptr;
    }
    region->size = size;
    region->used = kRegionHeader;
    region->committed = kCommitStep < size ? kCommitStep : size;
    heapcheck::Close(static_cast<char*>(base) + kRegionHeader, region->committed - kRegionHeader);
    return region;
}

BlockHeader* Carve(std::size_t bytes) {
    if (!firstRegionInUse && kFirstRegionSize - kRegionHeader >= bytes) {
        auto* first = reinterpret_cast<Region*>(firstRegion);
        first->next = regions;
        first->size = kFirstRegionSize;
        first->used = kRegionHeader;
        first->committed = kFirstRegionSize;
        heapcheck::Close(firstRegion + kRegionHeader, kFirstRegionSize - kRegionHeader);
        regions = first;
        firstRegionInUse = true;
    }
    Region* region = regions;
    if (region == nullptr || region->size - region->used < bytes) {
        region = NewRegion(kRegionSize);
        if (region == nullptr) return nullptr;
        region->next = regions;
        regions = region;
    }
    std::size_t end = region->used + bytes;
    if (end > region->committed) {
        std::size_t target = (end + kCommitStep - 1) & ~(kCommitStep - 1);
        if (target > region->size) target = region->size;
        auto* base = reinterpret_cast<char*>(region);
        if (os::sys.Commit(base + region->committed, target - region->committed) != 0) return nullptr;
        heapcheck::Close(base + region->committed, target - region->committed);
        region->committed = target;
    }
    auto* block = reinterpret_cast<BlockHeader*>(reinterpret_cast<char*>(region) + region->used);
    region->used = end;
    return block;
}

// A block too large for any class gets a region of its own.
BlockHeader* GetLarge(std::size_t bytes) {
    std::size_t size = (kRegionHeader + bytes + kCommitStep - 1) & ~(kCommitStep - 1);
    if (size < bytes) return nullptr;
    Region* region = NewRegion(size);
    if (region == nullptr) return nullptr;
    if (os::sys.Commit(region, size) != 0) {
        heapcheck::Forget(region, size);
        os::sys.Release(region, size);
        return nullptr;
    }
    heapcheck::Close(reinterpret_cast<char*>(region) + kRegionHeader, size - kRegionHeader);
    region->committed = size;
    region->used = size;
    // Behind the region being carved, so that one stays first.
    if (regions == nullptr) {
        region->next = nullptr;
        regions = region;
    } else {
        region->next = regions->next;
        regions->next = region;
    }
    return reinterpret_cast<BlockHeader*>(reinterpret_cast<char*>(region) + kRegionHeader);
}

}  // namespace

void* HeapGet(std::size_t size) {
    if (size == 0 || size > SIZE_MAX / 2) return nullptr;
    std::size_t bytes = size + sizeof(BlockHeader);
    std::uint32_t sizeClass = 0;
    while (sizeClass < kClassCount && ClassBytes(sizeClass) < bytes) ++sizeClass;

    BlockHeader* block;
    if (sizeClass == kLargeClass) {
        block = GetLarge(bytes);
    } else if (freeLists[sizeClass] != nullptr) {
        block = freeLists[sizeClass];
        heapcheck::Open(block, sizeof(BlockHeader));
        freeLists[sizeClass] = block->nextFree;
    } else {
        block = Carve(ClassBytes(sizeClass));
    }
    if (block == nullptr) return nullptr;
    heapcheck::Open(block, sizeof(BlockHeader));
    block->magic = kLive;
    block->sizeClass = sizeClass;
    block->nextFree = nullptr;
    heapcheck::Close(block, sizeof(BlockHeader));
    heapcheck::Given(block + 1, size);
    return block + 1;
}

bool HeapFree(void* pointer) {
    auto address = reinterpret_cast<std::uintptr_t>(pointer);
    if (pointer == nullptr || address % alignof(BlockHeader) != 0) {
        heapcheck::Refused(pointer);
        return false;
    }
    BlockHeader* block = static_cast<BlockHeader*>(pointer) - 1;
    // Only blocks inside our regions are looked at.
    bool ours = false;
    for (Region* r = regions; r != nullptr && !ours; r = r->next) {
        auto start = reinterpret_cast<std::uintptr_t>(r) + kRegionHeader;
        ours = address >= start + sizeof(BlockHeader) && address < reinterpret_cast<std::uintptr_t>(r) + r->used;
    }
    // What stands in front of a pointer is not known to be a header yet.
    if (!ours || heapcheck::Peek(block->magic) != kLive ||
        heapcheck::Peek(block->sizeClass) > kLargeClass) {
        heapcheck::Refused(pointer);
        return false;
    }
    heapcheck::Open(block, sizeof(BlockHeader));

    if (block->sizeClass == kLargeClass) {
        Region** link = &regions;
        while (*link != nullptr &&
               reinterpret_cast<char*>(*link) + kRegionHeader != reinterpret_cast<char*>(block)) {
            link = &(*link)->next;
        }
        if (*link == nullptr) {
            heapcheck::Close(block, sizeof(BlockHeader));
            heapcheck::Refused(pointer);
            return false;
        }
        Region* region = *link;
        *link = region->next;
        heapcheck::Taken(pointer, region->size - kRegionHeader - sizeof(BlockHeader));
        heapcheck::Forget(region, region->size);
        return os::sys.Release(region, region->size) == 0;
    }
    block->magic = kFree;
    block->nextFree = freeLists[block->sizeClass];
    freeLists[block->sizeClass] = block;
    heapcheck::Taken(pointer, ClassBytes(block->sizeClass) - sizeof(BlockHeader));
    heapcheck::Close(block, sizeof(BlockHeader));
    return true;
}

void HeapReleaseAll() {
    Region* region = regions;
    regions = nullptr;
    for (BlockHeader*& list : freeLists) list = nullptr;
    firstRegionInUse = false;
    while (region != nullptr) {
        Region* next = region->next;
        heapcheck::Forget(region, region->size);
        if (!IsFirstRegion(region)) os::sys.Release(region, region->size);
        region = next;
    }
}
