// Frame ring: a ring of frame slots between the receiver's thread and ReadRAW, oldest first,
// counting every frame that never reaches the driver.
#include "frame_ring.h"

#include "cap.h"
#include "frame_ledger.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr int kEmptyBufSize = 16; // a slot's size when the init file gives no BUFSIZ

// The hand-over holds at most this many bytes of frames, and at most kMaxHeldFrames frames: about
// a second of recording at 1920x1080 60 fps (63 frames), 2028x1520 40 fps (35) and 4056x3040
// 10 fps (8), so a stall of the loop of half a second while recording loses nothing, and it
// still fits beside the frame buffers in a Pi 3's 1 GB (frames pass through every slot in turn,
// so all of it is soon resident).
constexpr std::size_t kHandOverBytes = std::size_t{160} << 20;
constexpr unsigned kMaxHeldFrames = 64;

struct FreeBytes {
    void operator()(unsigned char *p) const { std::free(p); }
};

// Hand-over between the receiver's thread (the only producer) and ReadRAW (main thread, the only
// consumer): a ring of SlotCount + 1 positions of Size bytes each in RawBuf. The producer fills
// the slot at RawHead and then advances RawHead with a release store; ReadRAW copies the slot at
// RawTail and then advances RawTail with a release store; each loads the other's index with
// acquire, so each side touches a slot's bytes only while the slot is its own. Frames wait
// oldest first; when SlotCount are already waiting, the newest is dropped and counted. The back
// end owns RawBuf from OpenSensor to CloseSensor; sizes and pointers are written before its
// receiver starts and only read afterwards.
std::unique_ptr<unsigned char[], FreeBytes> RawBuf;
int Width;
int Height;
int BufSiz;
int Size;
unsigned SlotCount;
std::atomic<unsigned> RawHead{0};
std::atomic<unsigned> RawTail{0};
// Live view: ReadRAW skips to the newest frame waiting. The producer keeps every frame in live
// view too, so that a recording started in a pass goes on from that pass's frame without a gap,
// however long the pass took. ReadRAW's own.
bool LiveView = true;

// Lost frames just before the frame in position p (the ledger counts them all); PendingGap
// belongs to the producer.
unsigned SlotGap[kMaxHeldFrames + 1];
unsigned PendingGap;
// When the receiver handed over the frame in position p: a frame that waited in the hand-over
// keeps its own time.
timeval SlotTime[kMaxHeldFrames + 1];

unsigned ring_positions() { return SlotCount + 1; }

unsigned waiting(unsigned head, unsigned tail)
{
    return (head + ring_positions() - tail) % ring_positions();
}

unsigned char *slot(unsigned position) { return RawBuf.get() + std::size_t{position} * Size; }

// Live view: of the frames waiting only the newest stays, so the window is current; the others
// never reach the driver and are counted in the gap before it.
void take_up_newest()
{
    unsigned head = RawHead.load(std::memory_order_acquire);
    unsigned tail = RawTail.load(std::memory_order_relaxed);
    unsigned skipped = waiting(head, tail);
    if (skipped < 2)
        return;
    --skipped;
    ledger_count_lost(skipped);
    unsigned newest = (head + ring_positions() - 1) % ring_positions();
    for (unsigned p = tail; p != newest; p = (p + 1) % ring_positions())
        skipped += SlotGap[p];
    SlotGap[newest] += skipped;
    RawTail.store(newest, std::memory_order_release);
}

} // namespace

// The slots are zero-filled (the bytes behind a short frame are defined) by calloc, which leaves
// the pages untouched until frames fill them.
int ring_allocate(int width, int height, int bufsiz)
{
    ledger_reset();
    Width = width;
    Height = height;
    BufSiz = bufsiz;
    RawHead.store(0, std::memory_order_relaxed);
    RawTail.store(0, std::memory_order_relaxed);
    LiveView = true;
    PendingGap = 0;
    Size = bufsiz > 0 ? bufsiz : kEmptyBufSize;
    // The ring has one position more than it holds frames; all of them fit in the bytes given.
    std::size_t positions = std::clamp<std::size_t>(kHandOverBytes / static_cast<std::size_t>(Size),
                                                    2, kMaxHeldFrames + 1);
    SlotCount = static_cast<unsigned>(positions - 1);
    RawBuf.reset(static_cast<unsigned char *>(std::calloc(ring_positions(), Size)));
    if (!RawBuf) {
        std::perror("malloc error");
        return -1;
    }
    return 0;
}

void ring_free(void) { RawBuf.reset(); }

void ring_count_lost(unsigned frames)
{
    PendingGap += frames;
    ledger_count_lost(frames);
}

void ring_put(const void *frame, std::size_t length, const struct timeval &received)
{
    unsigned head = RawHead.load(std::memory_order_relaxed);
    unsigned tail = RawTail.load(std::memory_order_acquire);
    if (waiting(head, tail) >= SlotCount) {
        ring_count_lost(1);
        return;
    }
    // A frame longer than a slot is cut to its size: the driver still gets its first lines.
    std::memcpy(slot(head), frame, std::min(length, static_cast<std::size_t>(Size)));
    SlotGap[head] = PendingGap;
    SlotTime[head] = received;
    PendingGap = 0;
    RawHead.store((head + 1) % ring_positions(), std::memory_order_release);
}

int ReadRAW(unsigned char *buf)
{
    if (LiveView)
        take_up_newest();
    unsigned tail = RawTail.load(std::memory_order_relaxed);
    if (tail == RawHead.load(std::memory_order_acquire))
        return 0;
    if (BufSiz > 0)
        std::memcpy(buf, slot(tail), static_cast<std::size_t>(BufSiz));
    ledger_frame_taken(SlotGap[tail], SlotTime[tail]);
    RawTail.store((tail + 1) % ring_positions(), std::memory_order_release);
    return 1;
}

void BufferFrames(int on) { LiveView = !on; }

int GetHeldFrames(void) { return static_cast<int>(SlotCount); }
int GetWidth(void) { return Width; }
int GetHeight(void) { return Height; }
int GetBufSiz(void) { return BufSiz; }
