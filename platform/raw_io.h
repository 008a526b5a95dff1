// Unbuffered asynchronous reads for the raw read throughput test: O_DIRECT
// descriptors, page-aligned buffers and an io_uring on which many reads are
// in flight at once and complete in any order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// Buffer address, file offset and read length must be multiples of the
// device's logical block size for unbuffered reads; a page covers them all.
inline constexpr size_t kDirectAlignment = 4096;

// Opens `path` read-only for unbuffered reads (O_DIRECT), existing only.
// Never blocks (a FIFO is opened without waiting for a writer). Returns 0
// and the descriptor, or the errno: EINVAL when the file system refuses
// unbuffered reads, EISDIR for a directory, ENOTBLK for anything else that
// is neither a regular file nor a block device.
int openDirectRead(const char* path, int* fd);
void closeDirectRead(int fd);

// A zero-filled, kDirectAlignment-aligned buffer, or null with *error set.
void* allocateAlignedBuffer(size_t size, int* error);
void freeAlignedBuffer(void* buffer);

// Bytes of physical memory of the machine.
uint64_t physicalMemoryBytes();

// One completed read: the tag it was queued with and its result (bytes read,
// 0 at or past the end, or -errno).
struct RawCompletion {
  uint64_t tag = 0;
  int32_t result = 0;
};

// The ring on which reads are queued and complete.
struct RawReadRing;

// Creates a ring for `depth` reads in flight. `maxWorkers` above 0 caps the
// kernel's worker threads that serve the ring. Returns 0, or the errno.
int createRawReadRing(unsigned depth, unsigned maxWorkers, RawReadRing** ring);
void destroyRawReadRing(RawReadRing* ring);

// Registers the read buffers with the ring, so reads into them skip the
// per-read page pinning. Optional; returns 0, or the errno (reads then use
// the buffers unregistered).
int registerRawReadBuffers(RawReadRing* ring, void* const* buffers, unsigned count, size_t size);

// Queues a read of `length` bytes at `offset` into `buffer` (buffer number
// `bufferIndex` when the buffers are registered). Queued reads go to the
// kernel in batches, at the latest when waitRawCompletion would block.
// Returns 0, or the errno.
int queueRawRead(RawReadRing* ring, int fd, unsigned bufferIndex, void* buffer, uint32_t length,
                 uint64_t offset, uint64_t tag);

// Hands out one completed read, submitting the queued reads and waiting when
// none has completed yet. There must be a read in flight. Returns 0, or the
// errno of a failed wait.
int waitRawCompletion(RawReadRing* ring, RawCompletion* completion);

}  // namespace platform
