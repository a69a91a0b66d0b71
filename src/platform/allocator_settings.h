// The C library allocator's settings for a process that runs for weeks.
#pragma once

namespace qmx {

// Call once at start, before any thread is created. Every thread then takes
// its small blocks from one heap, and blocks of kMappedBlockBytes or more
// are mapped on their own and unmapped when freed, so resident memory
// follows what is in use instead of creeping with arenas and holes.
void SettleAllocator();

inline constexpr int kMappedBlockBytes = 64 * 1024;

}  // namespace qmx
