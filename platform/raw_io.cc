#include "platform/raw_io.h"

#include <fcntl.h>
#include <liburing.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace platform {

struct RawReadRing {
  io_uring ring;
  bool fixedBuffers = false;
};

int openDirectRead(const char* path, int* fd) {
  *fd = -1;
  // Without O_NONBLOCK a FIFO would block the open until a writer came.
  int opened = open(path, O_RDONLY | O_DIRECT | O_CLOEXEC | O_NONBLOCK);
  struct stat info;
  if (opened < 0) {
    int error = errno;
    // Directories, FIFOs and character devices refuse unbuffered opens
    // too; say what they are.
    if (error == EINVAL && stat(path, &info) == 0) {
      if (S_ISDIR(info.st_mode)) return EISDIR;
      if (!S_ISREG(info.st_mode) && !S_ISBLK(info.st_mode)) return ENOTBLK;
    }
    return error;
  }
  if (fstat(opened, &info) != 0) {
    int error = errno;
    close(opened);
    return error;
  }
  if (S_ISDIR(info.st_mode)) {
    close(opened);
    return EISDIR;
  }
  // Only a file or a disk has a size to read through; a FIFO, a socket or a
  // character device such as /dev/zero would make a meaningless rate.
  if (!S_ISREG(info.st_mode) && !S_ISBLK(info.st_mode)) {
    close(opened);
    return ENOTBLK;
  }
  int flags = fcntl(opened, F_GETFL);
  if (flags < 0 || fcntl(opened, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    int error = errno;
    close(opened);
    return error;
  }
  *fd = opened;
  return 0;
}

void closeDirectRead(int fd) {
  if (fd >= 0) close(fd);
}

void* allocateAlignedBuffer(size_t size, int* error) {
  void* buffer = nullptr;
  int result = posix_memalign(&buffer, kDirectAlignment, size);
  if (result != 0) {
    *error = result;
    return nullptr;
  }
  memset(buffer, 0, size);
  *error = 0;
  return buffer;
}

void freeAlignedBuffer(void* buffer) { free(buffer); }

uint64_t physicalMemoryBytes() {
  long pages = sysconf(_SC_PHYS_PAGES);
  long pageSize = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || pageSize <= 0) return UINT64_MAX;
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize);
}

int createRawReadRing(unsigned depth, unsigned maxWorkers, RawReadRing** ring) {
  *ring = nullptr;
  RawReadRing* created = new RawReadRing;
  io_uring_params params;
  memset(&params, 0, sizeof(params));
  // A depth beyond the kernel's ring limit is clamped; the queue then
  // submits early when the ring is full.
  params.flags = IORING_SETUP_CLAMP | IORING_SETUP_CQSIZE;
  params.cq_entries = depth < 2 ? 2 : depth;
  int result = io_uring_queue_init_params(depth < 1 ? 1 : depth, &created->ring, &params);
  if (result < 0) {
    delete created;
    return -result;
  }
  if (maxWorkers > 0) {
    unsigned workers[2] = {maxWorkers, maxWorkers};  // bounded, unbounded
    result = io_uring_register_iowq_max_workers(&created->ring, workers);
    if (result < 0) {
      io_uring_queue_exit(&created->ring);
      delete created;
      return -result;
    }
  }
  *ring = created;
  return 0;
}

void destroyRawReadRing(RawReadRing* ring) {
  if (ring == nullptr) return;
  io_uring_queue_exit(&ring->ring);
  delete ring;
}

int registerRawReadBuffers(RawReadRing* ring, void* const* buffers, unsigned count, size_t size) {
  std::vector<iovec> vectors(count);
  for (unsigned i = 0; i < count; ++i) vectors[i] = iovec{buffers[i], size};
  int result = io_uring_register_buffers(&ring->ring, vectors.data(), count);
  if (result < 0) return -result;
  ring->fixedBuffers = true;
  return 0;
}

int queueRawRead(RawReadRing* ring, int fd, unsigned bufferIndex, void* buffer, uint32_t length,
                 uint64_t offset, uint64_t tag) {
  io_uring_sqe* sqe = io_uring_get_sqe(&ring->ring);
  if (sqe == nullptr) {
    // The submission ring is full: hand its reads to the kernel first.
    int submitted = io_uring_submit(&ring->ring);
    if (submitted < 0) return -submitted;
    sqe = io_uring_get_sqe(&ring->ring);
    if (sqe == nullptr) return EBUSY;
  }
  if (ring->fixedBuffers) {
    io_uring_prep_read_fixed(sqe, fd, buffer, length, offset, static_cast<int>(bufferIndex));
  } else {
    io_uring_prep_read(sqe, fd, buffer, length, offset);
  }
  io_uring_sqe_set_data64(sqe, tag);
  return 0;
}

int waitRawCompletion(RawReadRing* ring, RawCompletion* completion) {
  io_uring_cqe* cqe = nullptr;
  // A completion that is already there is handed out before the queued
  // reads are submitted, so the reads issued for a burst of completions go
  // to the kernel in one call.
  int result = io_uring_peek_cqe(&ring->ring, &cqe);
  while (result != 0) {
    if (result != -EAGAIN && result != -EINTR) return -result;
    if (io_uring_sq_ready(&ring->ring) > 0) {
      result = io_uring_submit_and_wait(&ring->ring, 1);
      if (result < 0 && result != -EINTR && result != -EAGAIN) return -result;
    } else {
      result = io_uring_wait_cqe(&ring->ring, &cqe);
      if (result < 0 && result != -EINTR && result != -EAGAIN) return -result;
    }
    result = io_uring_peek_cqe(&ring->ring, &cqe);
  }
  completion->tag = io_uring_cqe_get_data64(cqe);
  completion->result = cqe->res;
  io_uring_cqe_seen(&ring->ring, cqe);
  return 0;
}

}  // namespace platform
