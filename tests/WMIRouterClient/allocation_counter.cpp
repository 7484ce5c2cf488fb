#include "allocation_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<long> g_live{0};

void* Allocate(std::size_t size)
{
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block != nullptr) {
        ++g_live;
    }
    return block;
}

void Free(void* block) noexcept
{
    if (block != nullptr) {
        --g_live;
        std::free(block);
    }
}
}  // namespace

long LiveAllocations() { return g_live.load(); }

void* operator new(std::size_t size)
{
    if (void* block = Allocate(size)) {
        return block;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* block) noexcept { Free(block); }
void operator delete[](void* block) noexcept { Free(block); }
void operator delete(void* block, std::size_t) noexcept { Free(block); }
void operator delete[](void* block, std::size_t) noexcept { Free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { Free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { Free(block); }
