// DMA-BUF heaps of the simulated kernel: allocation, mapping and the cache's sync.
#include "dma_heap.h"

#include "kernel_answer.h"

#include <fcntl.h>
#include <linux/dma-buf.h>
#include <linux/dma-heap.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tolva::sim {

namespace {
const char kHeapFolder[] = "/dev/dma_heap/";
const char kCmaHeap[] = "linux,cma";
const char kSystemHeap[] = "system";
const char kPreferredLink[] = "vidbuf_cached";

std::size_t page_aligned(std::size_t bytes)
{
    std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return (bytes + page - 1) / page * page;
}
} // namespace

DmaBuffer::DmaBuffer(std::size_t length, bool contiguous)
    : length_(page_aligned(length)), contiguous_(contiguous), memory_(length_)
{
    memfd_ = memfd_create("tolva-sim-dma-buf", MFD_CLOEXEC);
    if (memfd_ < 0 || ftruncate(memfd_, static_cast<off_t>(length_)) != 0)
        return;
    void *cached = ::mmap(nullptr, length_, PROT_READ | PROT_WRITE, MAP_SHARED, memfd_, 0);
    if (cached != MAP_FAILED)
        cached_ = static_cast<std::uint8_t *>(cached);
}

DmaBuffer::~DmaBuffer()
{
    if (cached_)
        ::munmap(cached_, length_);
    if (memfd_ >= 0)
        ::close(memfd_);
}

// As dma_buf_ioctl(): a direction is required. The start of a read invalidates the cache, so
// the CPU sees the memory; the end of a write cleans it, so a device sees what the CPU wrote.
int DmaBuffer::sync(std::uint64_t flags)
{
    if ((flags & ~DMA_BUF_SYNC_VALID_FLAGS_MASK) || !(flags & DMA_BUF_SYNC_RW))
        return fails_with(EINVAL);
    bool end = flags & DMA_BUF_SYNC_END;
    if (!end && (flags & DMA_BUF_SYNC_READ))
        std::memcpy(cached_, memory_.data(), length_);
    if (end && (flags & DMA_BUF_SYNC_WRITE))
        std::memcpy(memory_.data(), cached_, length_);
    return 0;
}

DmaHeaps::DmaHeaps(bool pi5, const Knobs &knobs) : knobs_(&knobs)
{
    if (knobs.no_dma_heap)
        return;
    heaps_ = {{kCmaHeap, true}, {kSystemHeap, false}};
    links_[kPreferredLink] = pi5 ? kSystemHeap : kCmaHeap;
}

bool DmaHeaps::in_heap_folder(const std::string &path)
{
    return path.compare(0, sizeof kHeapFolder - 1, kHeapFolder) == 0;
}

const DmaHeaps::Heap *DmaHeaps::find(const std::string &path) const
{
    std::string name = path.substr(sizeof kHeapFolder - 1);
    auto link = links_.find(name);
    if (link != links_.end())
        name = link->second;
    auto found = std::find_if(heaps_.begin(), heaps_.end(),
                              [&name](const Heap &heap) { return heap.name == name; });
    return found == heaps_.end() ? nullptr : &*found;
}

// The nodes belong to root and the video group (udev's rule); a user outside it is refused.
int DmaHeaps::open(const std::string &path)
{
    const Heap *heap = find(path);
    if (!heap)
        return fails_with(ENOENT);
    if (knobs_->dma_heap_denied)
        return fails_with(EACCES);
    int fd = next_fd_++;
    heap_files_[fd] = heap;
    return fd;
}

// A buffer lives on while a queue holds it or a mapping of it remains.
int DmaHeaps::close(int fd)
{
    if (heap_files_.erase(fd) || buffer_files_.erase(fd))
        return 0;
    return fails_with(EBADF);
}

// As dma_heap_ioctl_allocate(): a fresh descriptor, the flags checked, the length page-aligned.
int DmaHeaps::allocate(const Heap &heap, void *arg)
{
    auto &request = *static_cast<dma_heap_allocation_data *>(arg);
    if (request.fd != 0 || (request.fd_flags & ~DMA_HEAP_VALID_FD_FLAGS) ||
        (request.heap_flags & ~DMA_HEAP_VALID_HEAP_FLAGS) || request.len == 0)
        return fails_with(EINVAL);
    if (heap.contiguous && knobs_->dma_heap_no_memory)
        return fails_with(ENOMEM);
    auto buffer =
        std::make_shared<DmaBuffer>(static_cast<std::size_t>(request.len), heap.contiguous);
    if (!buffer->allocated())
        return fails_with(ENOMEM);
    int fd = next_fd_++;
    buffer_files_[fd] = buffer;
    given_.erase(std::remove_if(given_.begin(), given_.end(),
                                [](const auto &given) { return given.expired(); }),
                 given_.end());
    given_.push_back(buffer);
    request.fd = static_cast<std::uint32_t>(fd);
    return 0;
}

int DmaHeaps::ioctl(int fd, unsigned long request, void *arg)
{
    auto heap = heap_files_.find(fd);
    if (heap != heap_files_.end())
        return request == DMA_HEAP_IOCTL_ALLOC ? allocate(*heap->second, arg) : fails_with(ENOTTY);
    auto buffer = buffer_files_.find(fd);
    if (buffer == buffer_files_.end())
        return fails_with(EBADF);
    if (request != DMA_BUF_IOCTL_SYNC)
        return fails_with(ENOTTY);
    return buffer->second->sync(static_cast<dma_buf_sync *>(arg)->flags);
}

// As dma_buf_mmap_internal(): shared, and within the buffer.
void *DmaHeaps::mmap(std::size_t length, int prot, int flags, int fd, off_t offset)
{
    auto found = buffer_files_.find(fd);
    if (found == buffer_files_.end()) {
        errno = heap_files_.count(fd) ? ENODEV : EBADF;
        return MAP_FAILED;
    }
    const DmaBuffer &buffer = *found->second;
    if (!(flags & MAP_SHARED) || offset < 0 || length == 0 ||
        static_cast<std::size_t>(offset) + length > buffer.length()) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    return ::mmap(nullptr, length, prot, flags, buffer.cached_view(), offset);
}

std::shared_ptr<DmaBuffer> DmaHeaps::buffer(int fd) const
{
    auto found = buffer_files_.find(fd);
    return found == buffer_files_.end() ? nullptr : found->second;
}

int DmaHeaps::live_buffers() const
{
    return static_cast<int>(std::count_if(given_.begin(), given_.end(),
                                          [](const auto &buffer) { return !buffer.expired(); }));
}

} // namespace tolva::sim
