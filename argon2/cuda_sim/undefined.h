#pragma once
// Tells valgrind's memcheck that a range holds no defined value: device
// memory as allocated, a block's shared memory at launch, a range declared
// dead. A branch, an address or a result that depends on such bytes is then
// reported, as a card would punish it. Outside valgrind the request is a few
// instructions that do nothing; without memcheck's header, nothing at all.
#include <cstddef>

#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#endif

namespace cudasim {

inline void markUndefined(const void* p, std::size_t bytes) {
#ifdef VALGRIND_MAKE_MEM_UNDEFINED
    (void)VALGRIND_MAKE_MEM_UNDEFINED(p, bytes);
#else
    (void)p;
    (void)bytes;
#endif
}

}  // namespace cudasim
