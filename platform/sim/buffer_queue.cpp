// videobuf2's queue rules for MMAP and DMABUF capture buffers, as the V4L2 core applies them.
#include "buffer_queue.h"

#include "kernel_answer.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace tolva::sim {

namespace {
constexpr unsigned kMaxBuffers = 32; // VB2_MAX_FRAME
constexpr std::uint32_t kCaptureType = V4L2_BUF_TYPE_VIDEO_CAPTURE;
constexpr std::uint64_t kNanosecondsPerMicrosecond = 1000;
constexpr std::uint64_t kMicrosecondsPerSecond = 1000000;

std::size_t page_aligned(std::size_t bytes)
{
    std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return (bytes + page - 1) / page * page;
}
} // namespace

VideoBuffer::VideoBuffer(std::uint32_t index, std::size_t length, std::uint32_t offset)
    : index_(index), length_(length), offset_(offset)
{
    memfd_ = memfd_create("tolva-sim-video-buffer", MFD_CLOEXEC);
    if (memfd_ < 0)
        return;
    std::size_t mapped = page_aligned(length);
    if (ftruncate(memfd_, static_cast<off_t>(mapped)) != 0)
        return;
    void *data = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_SHARED, memfd_, 0);
    if (data != MAP_FAILED)
        data_ = static_cast<std::uint8_t *>(data);
}

VideoBuffer::VideoBuffer(std::uint32_t index, std::size_t length)
    : index_(index), length_(length), offset_(0)
{
}

VideoBuffer::~VideoBuffer()
{
    if (data_)
        munmap(data_, page_aligned(length_));
    if (memfd_ >= 0)
        close(memfd_);
}

bool BufferQueue::busy() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return owner_ >= 0 || !buffers_.empty();
}

bool BufferQueue::streaming() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return streaming_;
}

void BufferQueue::free_buffers()
{
    queued_.clear();
    done_.clear();
    buffers_.clear();
}

// count 0 frees the buffers (mapped ones live on until unmapped, imported DMA-BUFs are let go);
// any other count replaces them with at least the driver's minimum, at most 32: MMAP buffers
// with their memory, DMABUF ones without. Only the owner may, and not while streaming.
int BufferQueue::request_buffers(int fh, v4l2_requestbuffers &request, std::size_t sizeimage)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (request.type != kCaptureType ||
        (request.memory != V4L2_MEMORY_MMAP && request.memory != V4L2_MEMORY_DMABUF))
        return fails_with(EINVAL);
    if (owned_by_other(fh) || streaming_)
        return fails_with(EBUSY);
    free_buffers();
    request.capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP | V4L2_BUF_CAP_SUPPORTS_DMABUF |
                           V4L2_BUF_CAP_SUPPORTS_ORPHANED_BUFS;
    if (request.count == 0) {
        owner_ = -1;
        return 0;
    }
    memory_ = request.memory;
    unsigned count = std::clamp(request.count, min_buffers_, kMaxBuffers);
    std::uint32_t offset = 0;
    for (unsigned index = 0; index < count; ++index) {
        if (memory_ == V4L2_MEMORY_DMABUF) {
            buffers_.push_back(std::make_unique<VideoBuffer>(index, sizeimage));
            continue;
        }
        buffers_.push_back(std::make_unique<VideoBuffer>(index, sizeimage, offset));
        if (!buffers_.back()->allocated()) {
            free_buffers();
            return fails_with(ENOMEM);
        }
        offset += static_cast<std::uint32_t>(page_aligned(sizeimage));
    }
    request.count = count;
    owner_ = fh;
    return 0;
}

void BufferQueue::fill(const VideoBuffer &buffer, v4l2_buffer &out) const
{
    std::memset(&out, 0, sizeof out);
    out.index = buffer.index_;
    out.type = kCaptureType;
    out.memory = memory_;
    if (memory_ == V4L2_MEMORY_DMABUF) {
        out.m.fd = buffer.imported_fd_;
        out.length = buffer.imported_length_;
    } else {
        out.m.offset = buffer.offset_;
        out.length = static_cast<std::uint32_t>(buffer.length_);
    }
    out.field = V4L2_FIELD_NONE;
    out.bytesused = buffer.bytesused_;
    out.sequence = buffer.sequence_;
    out.timestamp.tv_sec = static_cast<decltype(out.timestamp.tv_sec)>(
        buffer.timestamp_ns_ / kNanosecondsPerMicrosecond / kMicrosecondsPerSecond);
    out.timestamp.tv_usec = static_cast<decltype(out.timestamp.tv_usec)>(
        buffer.timestamp_ns_ / kNanosecondsPerMicrosecond % kMicrosecondsPerSecond);
    out.flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
    if (buffer.error_)
        out.flags |= V4L2_BUF_FLAG_ERROR;
    if (buffer.state_ == VideoBuffer::State::queued || buffer.state_ == VideoBuffer::State::active)
        out.flags |= V4L2_BUF_FLAG_QUEUED;
    if (buffer.state_ == VideoBuffer::State::done)
        out.flags |= V4L2_BUF_FLAG_DONE;
}

VideoBuffer *BufferQueue::checked(const v4l2_buffer &buffer) const
{
    if (buffer.type != kCaptureType || buffer.index >= buffers_.size())
        return nullptr;
    return buffers_[buffer.index].get();
}

int BufferQueue::query_buffer(v4l2_buffer &buffer) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    const VideoBuffer *found = checked(buffer);
    if (!found)
        return fails_with(EINVAL);
    fill(*found, buffer);
    return 0;
}

int BufferQueue::start_locked(std::unique_lock<std::mutex> &lock, const Driver &driver)
{
    started_ = true;
    lock.unlock();
    int error = driver.start();
    lock.lock();
    if (error) {
        started_ = false;
        streaming_ = false;
        return fails_with(error);
    }
    return 0;
}

// As __prepare_dmabuf() with videobuf2-dma-contig: a length of 0 means the whole DMA-BUF; less
// than the format's frame is refused, a DMA-BUF shorter than the length can't be attached, and
// one whose memory is not contiguous can't be mapped by a receiver without an IOMMU. Unicam has
// none; CFE is taken to have none either, the stricter case, so that a client relying on one is
// caught here.
int BufferQueue::import(VideoBuffer &slot, v4l2_buffer &buffer,
                        std::shared_ptr<DmaBuffer> dmabuf) const
{
    if (!dmabuf)
        return fails_with(EINVAL);
    std::size_t length = buffer.length ? buffer.length : dmabuf->length();
    if (length < slot.length_)
        return fails_with(EINVAL);
    if (dmabuf->length() < length || !dmabuf->contiguous())
        return fails_with(EFAULT);
    slot.imported_ = std::move(dmabuf);
    slot.imported_fd_ = buffer.m.fd;
    slot.imported_length_ = static_cast<std::uint32_t>(length);
    return 0;
}

// Only a dequeued buffer may be queued, with the queue's memory. Streaming that waited for a
// first buffer starts with it, and a start that fails is reported here.
int BufferQueue::queue_buffer(int fh, v4l2_buffer &buffer, const Driver &driver,
                              std::shared_ptr<DmaBuffer> dmabuf)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (owned_by_other(fh))
        return fails_with(EBUSY);
    VideoBuffer *found = checked(buffer);
    if (!found || buffer.memory != memory_ || found->state_ != VideoBuffer::State::dequeued)
        return fails_with(EINVAL);
    if (memory_ == V4L2_MEMORY_DMABUF && import(*found, buffer, std::move(dmabuf)) < 0)
        return -1;
    found->state_ = VideoBuffer::State::queued;
    found->error_ = false;
    queued_.push_back(found);
    fill(*found, buffer);
    if (streaming_ && !started_)
        return start_locked(lock, driver);
    return 0;
}

int BufferQueue::dequeue_buffer(int fh, v4l2_buffer &buffer, bool nonblocking)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (owned_by_other(fh))
        return fails_with(EBUSY);
    if (buffer.type != kCaptureType || buffer.memory != memory_)
        return fails_with(EINVAL);
    for (;;) {
        if (!streaming_)
            return fails_with(EINVAL);
        if (!done_.empty())
            break;
        if (nonblocking)
            return fails_with(EAGAIN);
        done_changed_.wait(lock);
    }
    VideoBuffer *done = done_.front();
    done_.pop_front();
    done->state_ = VideoBuffer::State::dequeued;
    fill(*done, buffer);
    return 0;
}

int BufferQueue::export_buffer(int fh, v4l2_exportbuffer &request) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (owned_by_other(fh))
        return fails_with(EBUSY);
    if (request.type != kCaptureType || memory_ != V4L2_MEMORY_MMAP ||
        request.index >= buffers_.size() || request.plane != 0)
        return fails_with(EINVAL);
    int fd = fcntl(buffers_[request.index]->memfd_, F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    request.fd = fd;
    return 0;
}

// Streaming begins at once when a buffer is queued, else with the first QBUF.
int BufferQueue::stream_on(int fh, std::uint32_t type, const Driver &driver)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (type != kCaptureType)
        return fails_with(EINVAL);
    if (owned_by_other(fh))
        return fails_with(EBUSY);
    if (streaming_)
        return 0;
    if (buffers_.empty())
        return fails_with(EINVAL);
    streaming_ = true;
    if (queued_.empty())
        return 0;
    return start_locked(lock, driver);
}

// The driver stops first; then every buffer is dequeued, as __vb2_queue_cancel() leaves them.
void BufferQueue::stop_locked(std::unique_lock<std::mutex> &lock, const Driver &driver)
{
    if (started_) {
        lock.unlock();
        driver.stop();
        lock.lock();
    }
    streaming_ = false;
    started_ = false;
    queued_.clear();
    done_.clear();
    for (auto &buffer : buffers_)
        buffer->state_ = VideoBuffer::State::dequeued;
    done_changed_.notify_all();
}

int BufferQueue::stream_off(int fh, std::uint32_t type, const Driver &driver)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (type != kCaptureType)
        return fails_with(EINVAL);
    if (owned_by_other(fh))
        return fails_with(EBUSY);
    stop_locked(lock, driver);
    return 0;
}

void BufferQueue::release(int fh, const Driver &driver)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (owner_ != fh)
        return;
    stop_locked(lock, driver);
    free_buffers();
    owner_ = -1;
}

int BufferQueue::poll(int timeout_ms)
{
    std::unique_lock<std::mutex> lock(mutex_);
    auto ready = [this] { return !streaming_ || !done_.empty(); };
    if (timeout_ms < 0) {
        done_changed_.wait(lock, ready);
        return 1;
    }
    return done_changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), ready) ? 1 : 0;
}

// As vb2_mmap(): a shared mapping of no more than the buffer's (page-aligned) length.
void *BufferQueue::map(std::size_t length, int prot, int flags, std::uint32_t offset) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = std::find_if(buffers_.begin(), buffers_.end(), [offset](const auto &buffer) {
        return buffer->allocated() && buffer->offset_ == offset;
    });
    if (found == buffers_.end() || !(flags & MAP_SHARED) || length == 0 ||
        length > page_aligned((*found)->length_)) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    return mmap(nullptr, length, prot, flags, (*found)->memfd_, 0);
}

VideoBuffer *BufferQueue::take_queued()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (queued_.empty())
        return nullptr;
    VideoBuffer *buffer = queued_.front();
    queued_.pop_front();
    buffer->state_ = VideoBuffer::State::active;
    return buffer;
}

void BufferQueue::complete(VideoBuffer *buffer, std::uint32_t sequence, std::uint64_t timestamp_ns)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        buffer->bytesused_ = static_cast<std::uint32_t>(buffer->length_);
        buffer->sequence_ = sequence;
        buffer->timestamp_ns_ = timestamp_ns;
        buffer->state_ = VideoBuffer::State::done;
        done_.push_back(buffer);
    }
    done_changed_.notify_all();
}

void BufferQueue::give_back(VideoBuffer *buffer)
{
    std::lock_guard<std::mutex> lock(mutex_);
    buffer->error_ = true;
    buffer->state_ = VideoBuffer::State::dequeued;
}

} // namespace tolva::sim
