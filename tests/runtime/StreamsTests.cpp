#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <random>
#include <vector>

#include "Streams.h"
#include "TestFiles.h"

namespace vdib {
namespace {

namespace fs = std::filesystem;
using test::ExpectRaise;
using test::TempDir;

std::vector<uint8_t> FileBytes(const std::string& name) {
    const std::string bytes = test::ReadWhole(name);
    return {bytes.begin(), bytes.end()};
}

void PutFile(const std::string& name, const std::vector<uint8_t>& bytes) {
    test::WriteWhole(name, std::string(bytes.begin(), bytes.end()));
}

std::vector<uint8_t> Pattern(size_t count, uint32_t seed) {
    std::vector<uint8_t> bytes(count);
    std::minstd_rand gen(seed);
    for (auto& b : bytes) b = static_cast<uint8_t>(gen());
    return bytes;
}

// Counts every transfer that reaches it.
class TCountingStream : public TStream {
public:
    int32_t Read(void*, int32_t count) override { ++Reads; return count; }
    int32_t Write(const void*, int32_t count) override { ++Writes; return count; }
    int64_t Seek64(int64_t, uint8_t) override { return 0; }
    int Reads = 0, Writes = 0;
};

// Provides neither Seek form.
class TNoSeekStream : public TStream {
public:
    const char* ClassName() const noexcept override { return "TNoSeekStream"; }
    int32_t Read(void*, int32_t) override { return 0; }
    int32_t Write(const void*, int32_t) override { return 0; }
};

class TFailingMemoryStream : public TMemoryStream {
protected:
    void* Realloc(int32_t&) override { return nullptr; }
};

TEST(StreamContract, ZeroCountsNeverTransfer) {
    TCountingStream counting;
    counting.ReadExact(nullptr, 0);
    counting.WriteExact(nullptr, 0);
    EXPECT_EQ(counting.Reads, 0);
    EXPECT_EQ(counting.Writes, 0);

    // Empty and closed streams: a zero count does not touch them at all.
    TMemoryStream empty;
    THandleStream closed(-1);
    for (TStream* s : std::initializer_list<TStream*>{&empty, &closed}) {
        EXPECT_NO_THROW(s->ReadExact(nullptr, 0));
        EXPECT_NO_THROW(s->WriteExact(nullptr, 0));
        uint8_t byte = 0;
        EXPECT_EQ(s->Read(&byte, 0), 0);
        EXPECT_EQ(s->Read(&byte, -1), 0);
        EXPECT_EQ(s->Write(&byte, -5), 0);
    }
}

TEST(StreamContract, SeekWithoutEitherFormRaises) {
    TNoSeekStream s;
    const std::string message = "TNoSeekStream.Seek は実装されていません";
    ExpectRaise<EStreamError>([&] { s.Seek(0, soBeginning); }, message, "EStreamError");
    ExpectRaise<EStreamError>([&] { s.Seek64(0, soCurrent); }, message, "EStreamError");
    ExpectRaise<EStreamError>([&] { s.StreamPosition(); }, message, "EStreamError");
    ExpectRaise<EStreamError>([&] { s.Size(); }, message, "EStreamError");
    // The guard resets: asking again raises the same, not something else.
    ExpectRaise<EStreamError>([&] { s.Seek(5, soEnd); }, message, "EStreamError");
}

TEST(StreamContract, SixtyFourBitFormsCheckTheRange) {
    struct Case {
        const char* what;
        std::function<void(TStream&)> action;
        bool raises;
    };
    const int64_t max32 = std::numeric_limits<int32_t>::max();
    const int64_t min32 = std::numeric_limits<int32_t>::min();
    const Case cases[] = {
        {"Seek64 at int32 max", [&](TStream& s) { EXPECT_EQ(s.Seek64(max32, soBeginning), max32); }, false},
        {"Seek64 at int32 min", [&](TStream& s) { EXPECT_EQ(s.Seek64(min32, soBeginning), min32); }, false},
        {"Seek64 one past max", [&](TStream& s) { s.Seek64(max32 + 1, soBeginning); }, true},
        {"Seek64 one below min", [&](TStream& s) { s.Seek64(min32 - 1, soCurrent); }, true},
        {"position past max", [&](TStream& s) { s.SetStreamPosition(max32 + 1); }, true},
        {"ChangeSize64 one past max", [&](TStream& s) { s.ChangeSize64(max32 + 1); }, true},
        {"SetSize one below min", [&](TStream& s) { s.SetSize(min32 - 1); }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TMemoryStream s;
        if (c.raises)
            ExpectRaise<ERangeError>([&] { c.action(s); }, "Range check error", "ERangeError");
        else
            c.action(s);
        EXPECT_EQ(s.BlockSize(), 0);
    }
}

TEST(MemoryStream, ReadsOutsideTheBlockGiveNothing) {
    TMemoryStream s;
    s.WriteExact("abcdef", 6);
    struct Case {
        int32_t position;
        int32_t count;
        int32_t expected;
    };
    const Case cases[] = {{0, 6, 6}, {4, 6, 2}, {6, 1, 0}, {100, 1, 0}, {-1, 1, 0}, {-6, 6, 0}, {2, -1, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.position);
        char buffer[8] = {};
        EXPECT_EQ(s.Seek(c.position, soBeginning), c.position);
        EXPECT_EQ(s.Read(buffer, c.count), c.expected);
        EXPECT_EQ(s.Position(), c.position + c.expected);
        s.Seek(c.position, soBeginning);
        if (c.count > 0 && c.expected < c.count)
            ExpectRaise<EReadError>([&] { s.ReadExact(buffer, c.count); }, "ストリームからの読み込みエラー", "EReadError");
    }
    EXPECT_EQ(s.Seek(-2, soEnd), 4);
    EXPECT_EQ(s.Seek(1, soCurrent), 5);
    EXPECT_EQ(s.Seek(3, 7), 5);  // unknown origin leaves the position
}

TEST(MemoryStream, CapacityAndSize) {
    struct Case {
        const char* what;
        std::function<void(TMemoryStream&)> action;
        int32_t size, capacity, position;
    };
    const Case cases[] = {
        {"one byte", [](TMemoryStream& s) { s.WriteExact("x", 1); }, 1, 8192, 1},
        {"exactly one step", [](TMemoryStream& s) { s.SetSize(8192); }, 8192, 8192, 0},
        {"one past a step", [](TMemoryStream& s) { s.SetSize(8193); }, 8193, 16384, 0},
        {"request equal to the size is not rounded",
         [](TMemoryStream& s) { s.SetSize(100); s.SetCapacity(100); }, 100, 100, 0},
        {"zero frees", [](TMemoryStream& s) { s.SetSize(100); s.SetSize(0); }, 0, 0, 0},
        {"shrinking moves a later position to the end",
         [](TMemoryStream& s) { s.SetSize(50); s.Seek(40, soBeginning); s.SetSize(10); }, 10, 8192, 10},
        {"shrinking keeps an earlier position",
         [](TMemoryStream& s) { s.SetSize(50); s.Seek(5, soBeginning); s.SetSize(10); }, 10, 8192, 5},
        {"write past the end", [](TMemoryStream& s) { s.Seek(10000, soBeginning); s.WriteExact("ab", 2); },
         10002, 16384, 10002},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TMemoryStream s;
        c.action(s);
        EXPECT_EQ(s.BlockSize(), c.size);
        EXPECT_EQ(s.Size(), c.size);
        EXPECT_EQ(s.Capacity(), c.capacity);
        EXPECT_EQ(s.Position(), c.position);
    }
}

TEST(MemoryStream, GainedBytesAreZero) {
    TMemoryStream s;
    s.WriteExact("abcdefgh", 8);
    s.SetSize(2);
    s.SetSize(6);  // the old bytes c..f must not come back
    s.Seek(10, soBeginning);
    s.WriteExact("Z", 1);  // the gap 6..9 reads as zeros
    std::vector<uint8_t> expected = {'a', 'b', 0, 0, 0, 0, 0, 0, 0, 0, 'Z'};
    std::vector<uint8_t> got(expected.size());
    s.Seek(0, soBeginning);
    s.ReadExact(got.data(), static_cast<int32_t>(got.size()));
    EXPECT_EQ(got, expected);
}

TEST(MemoryStream, GrowthFailures) {
    const std::string message = "メモリストリームの拡大中にメモリが足りなくなりました";
    TFailingMemoryStream failing;
    ExpectRaise<EStreamError>([&] { failing.WriteExact("x", 1); }, message, "EStreamError");
    EXPECT_EQ(failing.BlockSize(), 0);
    EXPECT_EQ(failing.Position(), 0);

    // position + count beyond 32 bits is refused before any allocation or copy.
    TMemoryStream s;
    s.Seek(std::numeric_limits<int32_t>::max() - 1, soBeginning);
    ExpectRaise<EStreamError>([&] { s.Write("abc", 3); }, message, "EStreamError");
    EXPECT_EQ(s.BlockSize(), 0);

    ExpectRaise<EStreamError>([&] { s.SetCapacity(std::numeric_limits<int32_t>::max() - 100); }, message,
                              "EStreamError");
    ExpectRaise<ERangeError>([&] { s.SetSize(-1); }, "Range check error", "ERangeError");
}

TEST(FileStream, OpenAndCreateFailures) {
    TempDir dir;
    const std::string existing = dir / "existing.bmp";
    PutFile(existing, {1, 2, 3});
    // Relative names are reported as passed, not expanded.
    const std::string relative = "./no-such-dir-vdib/../no-such-file.bmp";
    struct Case {
        std::string name;
        uint16_t mode;
        bool create;
    };
    const Case cases[] = {
        {dir / "missing.bmp", ModeOpenReadDenyWrite, false},
        {relative, ModeOpenRead, false},
        {dir / "missing.bmp", ModeOpenReadWrite, false},
        {dir.Path.string(), ModeOpenRead, false},  // a directory is no file to read
        {dir.Path.string(), ModeOpenReadDenyWrite, false},
        {existing, 0x0003, false},                 // access 3
        {existing, 0x0050, false},                 // sharing 5
        {existing + std::string(1, '\0') + "x", ModeOpenRead, false},
        {dir / "no/such/dir/out.bmp", ModeCreate, true},
        {dir.Path.string(), ModeCreate, true},
        {"", ModeCreate, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name + " mode " + std::to_string(c.mode));
        if (c.create)
            ExpectRaise<EFCreateError>([&] { TFileStream s(c.name, c.mode); },
                                       "ファイル " + std::string(c.name.c_str()) + " を作成できません", "EFCreateError");
        else
            ExpectRaise<EFOpenError>([&] { TFileStream s(c.name, c.mode); },
                                     "ファイル " + std::string(c.name.c_str()) + " は開けません", "EFOpenError");
    }
    // Opens that fail must not leak descriptors: the next descriptor number is unchanged.
    const int probe = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    for (int i = 0; i < 3; ++i) EXPECT_THROW(TFileStream(dir.Path.string(), ModeOpenRead), EFOpenError);
    const int again = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(again, probe + 1);
    ::close(again);
    ::close(probe);

    // The accepted modes open the existing file.
    for (uint16_t mode : {ModeOpenRead, ModeOpenWrite, ModeOpenReadWrite, ModeOpenReadDenyWrite, uint16_t(0x0042)}) {
        SCOPED_TRACE(mode);
        EXPECT_NO_THROW(TFileStream(existing, mode));
    }
}

TEST(FileStream, CreateTruncatesAtOnce) {
    TempDir dir;
    const std::string name = dir / "old.bmp";
    PutFile(name, Pattern(5000, 1));
    TFileStream s(name, ModeCreate);
    EXPECT_EQ(fs::file_size(name), 0u);
    EXPECT_EQ(s.Size(), 0);
}

TEST(FileStream, SizeLeavesThePosition) {
    TempDir dir;
    const std::string name = dir / "f";
    const auto bytes = Pattern(200000, 2);
    PutFile(name, bytes);
    TFileStream s(name, ModeOpenReadWrite);
    uint8_t b[3];
    s.ReadExact(b, 3);
    EXPECT_EQ(s.Size(), 200000);
    EXPECT_EQ(s.StreamPosition(), 3);
    s.ReadExact(b, 1);
    EXPECT_EQ(b[0], bytes[3]);
    s.WriteExact("xyz", 3);  // pending output counts in the size
    s.Seek(199999, soBeginning);
    s.WriteExact("tail", 4);
    EXPECT_EQ(s.Size(), 200003);
    EXPECT_EQ(s.StreamPosition(), 200003);
}

// A scripted mix of small and large transfers, seeks and size changes, run against a file stream
// and against a plain byte vector; every result, position and the final file must agree.
TEST(FileStream, BufferedTransfersMatchAnUnbufferedModel) {
    TempDir dir;
    const std::string name = dir / "mixed";
    std::vector<uint8_t> model = Pattern(150000, 3);
    PutFile(name, model);
    int64_t pos = 0;

    TFileStream s(name, ModeOpenReadWrite);
    std::minstd_rand gen(12345);
    auto pick = [&](int64_t lo, int64_t hi) { return std::uniform_int_distribution<int64_t>(lo, hi)(gen); };
    const int64_t sizes[] = {1, 2, 3, 7, 100, 4096, 65535, 65536, 70000, 200000};

    for (int step = 0; step < 400; ++step) {
        SCOPED_TRACE(step);
        const int op = static_cast<int>(pick(0, 9));
        const int32_t count = static_cast<int32_t>(sizes[pick(0, 9)]);
        if (op <= 3) {  // read
            std::vector<uint8_t> got(count);
            const int64_t have = std::max<int64_t>(0, std::min<int64_t>(count, static_cast<int64_t>(model.size()) - pos));
            ASSERT_EQ(s.Read(got.data(), count), have);
            ASSERT_TRUE(std::equal(got.begin(), got.begin() + have, model.begin() + pos));
            pos += have;
        } else if (op <= 6) {  // write
            const auto data = Pattern(count, static_cast<uint32_t>(step));
            ASSERT_EQ(s.Write(data.data(), count), count);
            if (static_cast<int64_t>(model.size()) < pos + count) model.resize(pos + count, 0);
            std::copy(data.begin(), data.end(), model.begin() + pos);
            pos += count;
        } else if (op == 7) {  // seek, often near the current position
            const uint8_t origin = static_cast<uint8_t>(pick(0, 2));
            const int64_t target = pick(0, 3) == 0 ? pick(0, static_cast<int64_t>(model.size()) + 1000)
                                                   : std::max<int64_t>(0, pos + pick(-300, 300));
            const int64_t offset = origin == soBeginning ? target
                                   : origin == soCurrent ? target - pos
                                                         : target - static_cast<int64_t>(model.size());
            ASSERT_EQ(s.Seek64(offset, origin), target);
            pos = target;
        } else if (op == 8) {
            ASSERT_EQ(s.Size(), static_cast<int64_t>(model.size()));
            ASSERT_EQ(s.StreamPosition(), pos);
        } else {
            const int64_t newSize = pick(0, static_cast<int64_t>(model.size()) + 100000);
            s.SetSize(newSize);
            model.resize(newSize, 0);
            pos = newSize;
        }
    }
    s.Flush();
    EXPECT_EQ(FileBytes(name), model);
}

TEST(FileStream, DirectionChangesKeepPositions) {
    TempDir dir;
    const std::string name = dir / "f";
    PutFile(name, {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'});
    {
        TFileStream s(name, ModeOpenReadWrite);
        char b[4] = {};
        s.ReadExact(b, 2);       // read-ahead holds the whole file now
        s.WriteExact("ab", 2);   // lands at 2, not at the end of the read-ahead
        s.ReadExact(b, 2);       // sees the file after the write: 4, 5
        EXPECT_EQ(std::string(b, 2), "45");
        s.Seek(-1, soEnd);
        s.WriteExact("XY", 2);   // extends the file
        s.Seek(0, soBeginning);
        s.ReadExact(b, 4);
        EXPECT_EQ(std::string(b, 4), "01ab");
    }  // destructor writes nothing more: everything was written out by the seek
    const auto bytes = FileBytes(name);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "01ab45678XY");
}

TEST(FileStream, ReadsStopShortAtTheEnd) {
    TempDir dir;
    const std::string name = dir / "f";
    PutFile(name, Pattern(70000, 4));
    TFileStream s(name, ModeOpenRead);
    std::vector<uint8_t> b(100000);
    EXPECT_EQ(s.Read(b.data(), 69990), 69990);
    EXPECT_EQ(s.Read(b.data(), 20), 10);
    EXPECT_EQ(s.Read(b.data(), 20), 0);
    s.Seek(5, soBeginning);
    EXPECT_EQ(s.Read(b.data(), 100000), 69995);  // large read goes past the buffer
    ExpectRaise<EReadError>([&] { s.ReadExact(b.data(), 1); }, "ストリームからの読み込みエラー", "EReadError");
}

TEST(FileStream, RefusedOutputSurfacesOnAnExplicitPath) {
    if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    const std::string message = "ストリームへの書き込みエラー";
    struct Case {
        const char* what;
        std::function<void(TFileStream&)> action;
    };
    const Case cases[] = {
        {"Flush", [](TFileStream& s) { s.Flush(); }},
        {"Seek", [](TFileStream& s) { s.Seek(0, soBeginning); }},
        {"StreamPosition", [](TFileStream& s) { s.StreamPosition(); }},
        {"Size", [](TFileStream& s) { s.Size(); }},
        {"ChangeSize", [](TFileStream& s) { s.SetSize(0); }},
        {"Read", [](TFileStream& s) { char c; s.Read(&c, 1); }},
        {"Write filling the buffer", [](TFileStream& s) { std::vector<char> v(65536); s.Write(v.data(), 65530); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TFileStream s("/dev/full", ModeOpenWrite);
        EXPECT_EQ(s.Write("pending", 7), 7);
        ExpectRaise<EWriteError>([&] { c.action(s); }, message, "EWriteError");
        EXPECT_NO_THROW(s.Flush());  // reported once; nothing is left pending
    }
    {
        // The destructor tries once more and swallows the failure.
        TFileStream s("/dev/full", ModeOpenWrite);
        s.WriteExact("pending", 7);
    }
    TFileStream s("/dev/full", ModeOpenWrite);
    std::vector<char> large(100000);
    EXPECT_EQ(s.Write(large.data(), 100000), 0);  // unbuffered transfer: a short count, no raise
    ExpectRaise<EWriteError>([&] { s.WriteExact(large.data(), 100000); }, message, "EWriteError");
}

TEST(FileStream, NegativeSizeCutsNothing) {
    TempDir dir;
    const std::string name = dir / "f";
    PutFile(name, Pattern(1000, 5));
    TFileStream s(name, ModeOpenReadWrite);
    s.Seek(300, soBeginning);
    EXPECT_THROW(s.SetSize(-1), EOSError);
    EXPECT_EQ(s.StreamPosition(), 300);
    EXPECT_EQ(s.Size(), 1000);
    EXPECT_EQ(s.Seek64(0, 3), -1);  // only three origins
    EXPECT_EQ(s.Seek64(-1, soBeginning), -1);
    EXPECT_EQ(s.StreamPosition(), 300);
}

}  // namespace
}  // namespace vdib
