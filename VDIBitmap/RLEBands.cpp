// RLE output in bands of rows: encoded side by side into private buffers, written in order.
//
// Every band has a slot of its own, band b in slot b mod the slot count, so a band can be claimed
// only once the band that used its slot before has been written; the slots are twice as many as
// the threads (one for one thread), so that encoding runs ahead of writing by about one band per
// thread. Bands are claimed in order from one counter, and each is encoded exactly once, by the
// thread that claimed it. The worker threads only encode. The calling thread writes each band as
// soon as it is the next one due and encodes bands itself while that one is not finished, so
// with one thread the very same loop runs alone. It alone touches the stream; an exception from
// a write stops the workers, and once they have ended it goes on to the caller, as does one
// raised in a worker.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <limits>
#include <new>
#include <mutex>
#include <thread>
#include <vector>

#include "RLEEncoder.h"
#include <VDIBitmap/System.h>

namespace vdib::rle {

namespace {

// Pixel rows per band: small enough that a band's input and output stay in a core's cache
// between encoding and writing, large enough that a write and the hand-over between threads
// cost little per byte.
constexpr int64_t BandPixelBytes = 256 * 1024;
// By default no more threads than this: more only encode faster than one thread can write.
constexpr unsigned MaxThreads = 8;
// The most that the bands in flight may take at their worst; rows so wide that a few bands would
// exceed it are encoded on fewer threads.
constexpr int64_t FlightBudget = int64_t{8} << 20;
// Rows wider than this reserve no more up front and grow as they need.
constexpr int64_t MaxReservation = int64_t{16} << 20;
// The largest single write: the stream's counts are 32-bit.
constexpr int64_t MaxWrite = int64_t{1} << 30;

// The most a row of `units` units encodes to. Every unit of the row goes into exactly one command:
// runs of two or more units take 2 bytes, at most one per unit; a literal of one or two units
// goes out as that many pairs, 2 bytes per unit, and one of n >= 3 units as escape, count, data
// and pad, 2 + n + (n & 1) <= 2n bytes. The end-of-line adds 2.
int64_t RowBound(int32_t units) { return 2 * int64_t{units} + 2; }

class TBandEncoder {
public:
    TBandEncoder(const uint8_t* bits, int64_t rowBytes, int64_t rows, int32_t units, TRowEncoder encodeRow)
        : FBits(bits), FRowBytes(rowBytes), FRows(rows), FUnits(units), FEncodeRow(encodeRow),
          FBandRows(std::max<int64_t>(1, BandPixelBytes / std::max<int64_t>(rowBytes, 1))),
          FBands((rows + FBandRows - 1) / FBandRows) {}

    int64_t Bands() const noexcept { return FBands; }
    // The most a band encodes to.
    int64_t BandBound() const noexcept { return FBandRows * RowBound(FUnits) + 2; }

    // The band's rows, each with its end-of-line; the last band ends with the end-of-bitmap.
    void Encode(int64_t band, TBandOutput& out) const {
        const int64_t first = band * FBandRows;
        const int64_t end = std::min(first + FBandRows, FRows);
        out.Start(std::min((end - first) * RowBound(FUnits) + 2, MaxReservation));
        for (int64_t row = first; row < end; ++row) {
            // A row without pixels has no pending run: it is its end-of-line alone. A row may be
            // read on into the rows after it, up to the last row's last unit.
            if (FUnits > 0) FEncodeRow(out, FBits + row * FRowBytes, FUnits, (FRows - 1 - row) * FRowBytes + FUnits);
            out.EndOfLine();
        }
        if (end == FRows) out.EndOfBitmap();
    }

private:
    const uint8_t* FBits;
    int64_t FRowBytes;
    int64_t FRows;
    int32_t FUnits;
    TRowEncoder FEncodeRow;
    int64_t FBandRows;
    int64_t FBands;
};

void WriteBand(TStream& stream, const TBandOutput& band) {
    for (int64_t done = 0; done < band.Length();) {
        const int64_t n = std::min(band.Length() - done, MaxWrite);
        stream.WriteExact(band.Data() + done, static_cast<int32_t>(n));
        done += n;
    }
}

class TBandPipeline {
public:
    TBandPipeline(const TBandEncoder& encoder, unsigned threads)
        : FEncoder(encoder), FSlots(threads > 1 ? 2 * threads : 1) {
        // A thread that cannot be started (no resources, no memory) leaves its share to the others.
        try {
            FWorkers.reserve(threads);  // so that adding a started thread cannot fail
            for (unsigned i = 1; i < threads; ++i) FWorkers.emplace_back([this] { Work(); });
        } catch (const std::exception&) {
        }
    }

    ~TBandPipeline() {
        {
            const std::lock_guard<std::mutex> lock(FMutex);
            FStop = true;
        }
        FChanged.notify_all();
        for (std::thread& worker : FWorkers) worker.join();
    }

    // Runs on the calling thread until every band is written.
    void Run(TStream& stream) {
        std::unique_lock<std::mutex> lock(FMutex);
        while (FNextWrite < FEncoder.Bands()) {
            TSlot& next = FSlots[SlotOf(FNextWrite)];
            if (next.Ready) {
                lock.unlock();
                WriteBand(stream, next.Output);
                lock.lock();
                next.Ready = false;
                ++FNextWrite;
                FChanged.notify_all();
            } else if (FFailure) {
                std::rethrow_exception(FFailure);
            } else if (CanClaim()) {
                EncodeClaimed(lock);
            } else {
                FChanged.wait(lock, [&] { return next.Ready || FFailure || CanClaim(); });
            }
        }
    }

private:
    // A cache line each: the thread encoding into one slot reads and writes its band's fields all
    // the time, and must not share them with the thread encoding into the next.
    struct alignas(64) TSlot {
        TBandOutput Output;
        bool Ready = false;  // it holds the next band due in it, encoded
    };

    std::size_t SlotOf(int64_t band) const noexcept { return static_cast<std::size_t>(band) % FSlots.size(); }

    // A band is left to claim, and its slot is free: the band before it there has been written.
    bool CanClaim() const noexcept {
        return FNextClaim < FEncoder.Bands() && FNextClaim - FNextWrite < static_cast<int64_t>(FSlots.size());
    }

    // Claims the next band and encodes it into its slot, outside the lock; only this thread
    // touches the slot until it is marked ready.
    void EncodeClaimed(std::unique_lock<std::mutex>& lock) {
        const int64_t band = FNextClaim++;
        TSlot& slot = FSlots[SlotOf(band)];
        lock.unlock();
        std::exception_ptr failure;
        try {
            FEncoder.Encode(band, slot.Output);
        } catch (...) {
            failure = std::current_exception();
        }
        lock.lock();
        if (failure) {
            FFailure = failure;
        } else {
            slot.Ready = true;
        }
        FChanged.notify_all();
    }

    void Work() {
        std::unique_lock<std::mutex> lock(FMutex);
        for (;;) {
            FChanged.wait(lock, [this] { return FStop || FFailure || CanClaim() || FNextClaim >= FEncoder.Bands(); });
            if (FStop || FFailure || FNextClaim >= FEncoder.Bands()) return;
            EncodeClaimed(lock);
        }
    }

    const TBandEncoder& FEncoder;
    std::vector<TSlot> FSlots;
    std::vector<std::thread> FWorkers;
    std::mutex FMutex;
    std::condition_variable FChanged;
    int64_t FNextClaim = 0;  // the next band to encode
    int64_t FNextWrite = 0;  // the next band to write
    bool FStop = false;
    std::exception_ptr FFailure;  // raised while encoding
};

std::atomic<unsigned> ChosenThreadCount{0};
// This thread's count over the process's, 0 for none; a plain number, so that no thread's end
// has anything to destroy.
thread_local unsigned ThreadChosenCount = 0;

// A band buffer of `bytes` bytes. On a 32-bit system a row's bound (twice the row, about 4 GiB
// at most) can exceed what a size_t counts; cut to it, the count would make a buffer too small.
uint8_t* NewBuffer(int64_t bytes) {
    if (static_cast<uint64_t>(bytes) > std::numeric_limits<std::size_t>::max()) throw std::bad_alloc();
    return new uint8_t[static_cast<std::size_t>(bytes)];
}

}  // namespace

void TBandOutput::Start(int64_t bytes) {
    FLength = 0;
    if (FCapacity - MaxCommand >= bytes) return;
    FData.reset();  // the old buffer's contents are not needed
    FCapacity = 0;
    FData.reset(NewBuffer(bytes + MaxCommand));
    FCapacity = bytes + MaxCommand;
}

uint8_t* TBandOutput::Grow(uint8_t* cursor) {
    const int64_t used = cursor - FData.get();
    const int64_t capacity = std::max(2 * FCapacity, used + MaxCommand);
    std::unique_ptr<uint8_t[]> data(NewBuffer(capacity));
    std::memcpy(data.get(), FData.get(), static_cast<std::size_t>(used));
    FData = std::move(data);
    FCapacity = capacity;
    return FData.get() + used;
}

void EncodeBands(TStream& stream, const uint8_t* bits, int64_t rowBytes, int64_t rows, int32_t units,
                 TRowEncoder encodeRow) {
    if (rows <= 0) {
        WriteRLEEndOfBitmap(stream);
        return;
    }
    const TBandEncoder encoder(bits, rowBytes, rows, units, encodeRow);
    const int64_t threads = std::min<int64_t>({EncoderThreadCount(), encoder.Bands(), std::max<int64_t>(1, FlightBudget / (2 * encoder.BandBound()))});
    TBandPipeline(encoder, static_cast<unsigned>(threads)).Run(stream);
}

}  // namespace vdib::rle

namespace vdib {

void SetEncoderThreadCount(unsigned count) noexcept { rle::ChosenThreadCount.store(count, std::memory_order_relaxed); }

TEncoderThreads::TEncoderThreads(unsigned count) noexcept : FPrevious(rle::ThreadChosenCount) {
    rle::ThreadChosenCount = count;
}

TEncoderThreads::~TEncoderThreads() { rle::ThreadChosenCount = FPrevious; }

unsigned EncoderThreadCount() noexcept {
    unsigned chosen = rle::ThreadChosenCount;
    if (chosen == 0) chosen = rle::ChosenThreadCount.load(std::memory_order_relaxed);
    return chosen != 0 ? chosen : std::min(UsableProcessorCount(), rle::MaxThreads);
}

}  // namespace vdib
