// A video node's buffer queue with videobuf2's rules: REQBUFS, QUERYBUF, QBUF, DQBUF, EXPBUF,
// STREAMON/STREAMOFF and poll, over MMAP buffers the program maps or DMA-BUFs it imports.
#ifndef TOLVA_SIM_BUFFER_QUEUE_H
#define TOLVA_SIM_BUFFER_QUEUE_H

#include "dma_heap.h"

#include <linux/videodev2.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace tolva::sim {

// One buffer: a memory file the driver maps once and the program maps through mmap(), or, in a
// DMABUF queue, the DMA-BUF queued with it. Freed buffers the program still maps stay valid
// until it unmaps them (videobuf2's orphaned buffers).
class VideoBuffer {
public:
    // An MMAP buffer with its memory.
    VideoBuffer(std::uint32_t index, std::size_t length, std::uint32_t offset);
    // A DMABUF buffer, without memory until a DMA-BUF is queued with it.
    VideoBuffer(std::uint32_t index, std::size_t length);
    ~VideoBuffer();
    VideoBuffer(const VideoBuffer &) = delete;
    VideoBuffer &operator=(const VideoBuffer &) = delete;

    bool allocated() const { return data_ != nullptr; }
    // Where the driver writes the frame.
    std::uint8_t *data() { return imported_ ? imported_->memory() : data_; }
    std::size_t length() const { return length_; }
    std::uint32_t offset() const { return offset_; }
    int memory_file() const { return memfd_; }

private:
    friend class BufferQueue;
    enum class State { dequeued, queued, active, done };

    std::uint32_t index_;
    std::size_t length_; // the plane's length: the format's sizeimage
    std::uint32_t offset_;
    int memfd_ = -1;
    std::uint8_t *data_ = nullptr;
    std::shared_ptr<DmaBuffer> imported_; // held until the buffers are freed, as vb2 keeps it
    int imported_fd_ = -1;                // the descriptor it was queued with
    std::uint32_t imported_length_ = 0;   // the plane length given with it
    State state_ = State::dequeued;
    bool error_ = false;
    std::uint32_t bytesused_ = 0;
    std::uint32_t sequence_ = 0;
    std::uint64_t timestamp_ns_ = 0;
};

class BufferQueue {
public:
    // The driver's queue_setup asks for at least `min_buffers` in all.
    explicit BufferQueue(unsigned min_buffers) : min_buffers_(min_buffers) {}

    // The driver's start_streaming (an errno, or 0) and stop_streaming.
    struct Driver {
        std::function<int()> start;
        std::function<void()> stop;
    };

    // Buffers exist or a file handle owns the queue: the format cannot change (EBUSY).
    bool busy() const;
    bool streaming() const;

    // The ioctls from file handle `fh`: 0, or -1 with errno set.
    int request_buffers(int fh, v4l2_requestbuffers &request, std::size_t sizeimage);
    int query_buffer(v4l2_buffer &buffer) const;
    // `dmabuf`: the DMA-BUF behind buffer.m.fd of a DMABUF queue (null when the descriptor is
    // none).
    int queue_buffer(int fh, v4l2_buffer &buffer, const Driver &driver,
                     std::shared_ptr<DmaBuffer> dmabuf = nullptr);
    int dequeue_buffer(int fh, v4l2_buffer &buffer, bool nonblocking);
    int export_buffer(int fh, v4l2_exportbuffer &request) const;
    int stream_on(int fh, std::uint32_t type, const Driver &driver);
    int stream_off(int fh, std::uint32_t type, const Driver &driver);
    // The file handle closes: if it owns the queue, streaming stops and its buffers go.
    void release(int fh, const Driver &driver);
    // As poll(2) on the node: 1 when a buffer can be dequeued or nothing is to be waited for
    // (not streaming), 0 when `timeout_ms` passed first (negative: no limit).
    int poll(int timeout_ms);
    // The memory at mmap offset `offset`, mapped for the program as mmap(2) does.
    void *map(std::size_t length, int prot, int flags, std::uint32_t offset) const;

    // The driver's side, from its receiver thread: the oldest queued buffer, now owned by the
    // driver (null when none is queued), and a filled one handed back.
    VideoBuffer *take_queued();
    void complete(VideoBuffer *buffer, std::uint32_t sequence, std::uint64_t timestamp_ns);
    // At stop: a buffer the driver holds goes back with an error.
    void give_back(VideoBuffer *buffer);

private:
    bool owned_by_other(int fh) const { return owner_ >= 0 && owner_ != fh; }
    int start_locked(std::unique_lock<std::mutex> &lock, const Driver &driver);
    void stop_locked(std::unique_lock<std::mutex> &lock, const Driver &driver);
    void free_buffers();
    void fill(const VideoBuffer &buffer, v4l2_buffer &out) const;
    VideoBuffer *checked(const v4l2_buffer &buffer) const;
    int import(VideoBuffer &slot, v4l2_buffer &buffer, std::shared_ptr<DmaBuffer> dmabuf) const;

    const unsigned min_buffers_;
    // Guards everything below: the program's thread and the receiver thread both use it; the
    // driver's callbacks run without it.
    mutable std::mutex mutex_;
    std::condition_variable done_changed_;
    std::vector<std::unique_ptr<VideoBuffer>> buffers_;
    std::deque<VideoBuffer *> queued_;
    std::deque<VideoBuffer *> done_;
    int owner_ = -1;
    std::uint32_t memory_ = V4L2_MEMORY_MMAP; // the memory REQBUFS asked for
    bool streaming_ = false;
    bool started_ = false; // start_streaming ran: streaming with a buffer queued
};

} // namespace tolva::sim

#endif
