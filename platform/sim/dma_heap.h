// The simulated kernel's DMA-BUF heaps (/dev/dma_heap/*) and the buffers they give, with the CPU
// cache that stands between a buffer's memory and the program's mapping of it.
#ifndef TOLVA_SIM_DMA_HEAP_H
#define TOLVA_SIM_DMA_HEAP_H

#include "knobs.h"

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tolva::sim {

// One DMA-BUF from a cached heap. A device reads and writes its memory; the program's mapping
// shows the memory as the CPU's cache holds it, so what a device wrote appears there only after
// DMA_BUF_IOCTL_SYNC starts a CPU read (the cache dropped); before that the mapping still shows
// what it showed at the last start, the previous frame's bytes.
class DmaBuffer {
public:
    DmaBuffer(std::size_t length, bool contiguous);
    ~DmaBuffer();
    DmaBuffer(const DmaBuffer &) = delete;
    DmaBuffer &operator=(const DmaBuffer &) = delete;

    bool allocated() const { return cached_ != nullptr; }
    std::size_t length() const { return length_; }
    // Physically contiguous (a CMA heap's), as videobuf2-dma-contig needs without an IOMMU.
    bool contiguous() const { return contiguous_; }
    // The memory as a device sees it.
    std::uint8_t *memory() { return memory_.data(); }
    // The memory file the program's mapping shows: the CPU's cached view.
    int cached_view() const { return memfd_; }
    // DMA_BUF_IOCTL_SYNC's flags: 0, or -1 and errno.
    int sync(std::uint64_t flags);

private:
    std::size_t length_; // page-aligned, as the heaps give it
    bool contiguous_;
    std::vector<std::uint8_t> memory_;
    int memfd_ = -1;
    std::uint8_t *cached_ = nullptr;
};

class DmaHeaps {
public:
    // No heaps: a board whose camera goes through the VideoCore's MMAL.
    DmaHeaps() = default;
    // The heaps Raspberry Pi OS has: the CMA heap and the system heap, and udev's link
    // vidbuf_cached to the one its camera stack prefers (the system heap on a Pi 5).
    DmaHeaps(bool pi5, const Knobs &knobs);
    DmaHeaps(const DmaHeaps &) = delete;
    DmaHeaps &operator=(const DmaHeaps &) = delete;

    // Whether `path` is in /dev/dma_heap/, and `fd` a heap's or a buffer's descriptor.
    static bool in_heap_folder(const std::string &path);
    bool owns(int fd) const { return heap_files_.count(fd) || buffer_files_.count(fd); }

    // The host services on heaps and buffers: results and errno as the system calls give them.
    int open(const std::string &path);
    int close(int fd);
    int ioctl(int fd, unsigned long request, void *arg);
    void *mmap(std::size_t length, int prot, int flags, int fd, off_t offset);

    // The buffer behind a descriptor, as dma_buf_get() finds it: null for any other descriptor.
    std::shared_ptr<DmaBuffer> buffer(int fd) const;
    int open_count() const { return static_cast<int>(heap_files_.size() + buffer_files_.size()); }
    // Buffers still alive: held by a descriptor or by a queue that imported them.
    int live_buffers() const;

private:
    struct Heap {
        std::string name;
        bool contiguous;
    };

    const Heap *find(const std::string &path) const;
    int allocate(const Heap &heap, void *arg);

    const Knobs *knobs_ = nullptr;
    std::vector<Heap> heaps_;
    std::map<std::string, std::string> links_; // udev's symbolic links: name -> heap
    std::map<int, const Heap *> heap_files_;
    std::map<int, std::shared_ptr<DmaBuffer>> buffer_files_;
    std::vector<std::weak_ptr<DmaBuffer>> given_;
    int next_fd_ = 3000; // apart from the V4L2 descriptors
};

} // namespace tolva::sim

#endif
