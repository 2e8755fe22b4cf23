// Streams: memory stream bounds, file stream failures, buffering, and output a device refuses.
#include "support/Process.h"

namespace vdib::test {
namespace {

std::string Pattern(std::size_t count, uint32_t seed) {
    std::string bytes(count, '\0');
    std::minstd_rand gen(seed);
    for (char& b : bytes) b = static_cast<char>(gen());
    return bytes;
}

TEST(MemoryStream, BoundsAndGrowth) {
    TMemoryStream s;
    s.WriteExact("abcdefgh", 8);
    s.SetSize(2);
    s.SetSize(6);  // the old bytes c..f must not come back
    s.Seek(10, soBeginning);
    s.WriteExact("Z", 1);  // the gap 6..9 reads as zeros
    char got[12] = {};
    for (const int32_t position : {11, 100, -1})  // nothing to read outside the block
        EXPECT_EQ((s.Seek(position, soBeginning), s.Read(got, 1)), 0) << position;
    s.Seek(0, soBeginning);
    EXPECT_EQ(std::string(got, s.Read(got, 12)), std::string("ab\0\0\0\0\0\0\0\0Z", 11));
    EXPECT_EQ(RaisedBy([&] { s.ReadExact(got, 1); }), "EReadError: ストリームからの読み込みエラー");
    // A position + count beyond 32 bits is refused before any allocation or copy.
    s.Seek(std::numeric_limits<int32_t>::max() - 1, soBeginning);
    EXPECT_EQ(RaisedBy([&] { s.Write("abc", 3); }) + Format(", %d", s.BlockSize()),
              "EStreamError: メモリストリームの拡大中にメモリが足りなくなりました, 11");
}

// Relative names are not expanded; a directory is no file to read; access 3 and sharing 5 are no modes.
TEST(FileStream, OpenAndCreateFailuresNameTheFileAsGiven) {
    TempDir dir;
    const std::string existing = dir / "existing.bmp";
    WriteWhole(existing, "abc");
    for (const auto& [name, mode] : {std::pair{dir / "missing.bmp", ModeOpenReadDenyWrite}, {"./no-such-dir-vdib/../x.bmp", ModeOpenRead},
                                     {dir / "missing.bmp", ModeOpenReadWrite}, {dir / "", ModeOpenRead}, {existing, uint16_t{3}},
                                     {existing, uint16_t{0x50}}, {dir / "no/dir/out.bmp", ModeCreate}, {dir / "", ModeCreate}, {"", ModeCreate}}) {
        const std::string expected = mode == ModeCreate ? "EFCreateError: ファイル " + name + " を作成できません" : "EFOpenError: ファイル " + name + " は開けません";
        EXPECT_EQ(RaisedBy([&] { TFileStream s(name, mode); }), expected) << mode;
    }
#if defined(_WIN32)  // POSIX has no share modes: there a deny-write open is a plain read-only one
    {
        TFileStream writer(existing, ModeOpenWrite | 0x0040);  // lets others read and write
        EXPECT_EQ(RaisedBy([&] { TFileStream s(existing, ModeOpenReadDenyWrite); }), "EFOpenError: ファイル " + existing + " は開けません");
    }
#endif
    TFileStream created(existing, ModeCreate);  // truncates at once
    EXPECT_EQ(std::filesystem::file_size(existing), 0u);
}

// Random transfers, seeks and size changes on a file stream and on a string: every result agrees.
TEST(FileStream, BufferedTransfersMatchAnUnbufferedModel) {
    TempDir dir;
    const std::string name = dir / "mixed";
    std::string model = Pattern(150000, 3);
    WriteWhole(name, model);
    int64_t pos = 0;
    TFileStream s(name, ModeOpenReadWrite | 0x0040);  // shared, so the file can be read back while open
    std::minstd_rand gen(12345);
    auto pick = [&](int64_t lo, int64_t hi) { return std::uniform_int_distribution<int64_t>(lo, hi)(gen); };
    const int32_t sizes[] = {1, 2, 3, 7, 100, 4096, 65535, 65536, 70000, 200000};
    for (int step = 0; step < 400; ++step) {
        SCOPED_TRACE(step);
        const int op = static_cast<int>(pick(0, 9));
        const int32_t count = sizes[pick(0, 9)];
        const auto size = static_cast<int64_t>(model.size());
        if (op <= 3) {  // read
            std::string got(static_cast<std::size_t>(count), '\0');
            const int64_t have = std::clamp<int64_t>(size - pos, 0, count);
            ASSERT_EQ(s.Read(got.data(), count), have);
            ASSERT_EQ(got.substr(0, have), model.substr(std::min(pos, size), have));
            pos += have;
        } else if (op <= 6) {  // write
            const std::string data = Pattern(static_cast<std::size_t>(count), static_cast<uint32_t>(step));
            ASSERT_EQ(s.Write(data.data(), count), count);
            model.resize(std::max(size, pos + count), '\0');
            model.replace(pos, count, data);
            pos += count;
        } else if (op == 7) {  // seek from any origin, often near the current position
            const auto origin = static_cast<uint8_t>(pick(0, 2));
            const int64_t target = pick(0, 3) == 0 ? pick(0, size + 1000) : std::max<int64_t>(0, pos + pick(-300, 300));
            const int64_t offset = origin == soBeginning ? target : origin == soCurrent ? target - pos : target - size;
            ASSERT_EQ(s.Seek64(offset, origin), target);
            pos = target;
        } else if (op == 8) {
            ASSERT_EQ(s.Size(), size);
            ASSERT_EQ(s.StreamPosition(), pos);
        } else {
            pos = pick(0, size + 100000);
            s.SetSize(pos);
            model.resize(pos, '\0');
        }
    }
    s.Flush();
    EXPECT_EQ(ReadWhole(name), model);
}

// Buffered output that the device refuses is reported by the next explicit transfer, once; the
// BMP writer ends with one. A character device has no positions, although it accepts a seek.
TEST(FileStream, RefusedOutputRaisesWriteError) {
    TempDir dir;
    const std::string full = dir / "full";
    if (const std::string why = MakeDevice(full, FullDevice); !why.empty()) GTEST_SKIP() << why;
    const auto pending = [](TFileStream& s) { EXPECT_EQ(s.Write("pending", 7), 7); return &s; };
    for (const auto& action : std::vector<std::function<void(TFileStream&)>>{
             [&](TFileStream& s) { pending(s)->Flush(); }, [&](TFileStream& s) { pending(s)->Seek(0, soBeginning); },
             [&](TFileStream& s) { pending(s)->WriteExact(Pattern(100000, 1).data(), 100000); },
             [](TFileStream& s) { std::unique_ptr<TDIBitmapImage>(MakeImage({8}, {"1"}))->WriteToStream(s, true); }}) {
        TFileStream s(full, ModeOpenWrite);
        EXPECT_EQ(RaisedBy([&] { action(s); }), "EWriteError: ストリームへの書き込みエラー");
        EXPECT_NO_THROW(s.Flush());
        EXPECT_EQ(s.StreamPosition(), -1);
    }
}

}  // namespace
}  // namespace vdib::test
