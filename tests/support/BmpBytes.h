// BMP files built byte by byte, hex text of bytes, and the tests' one stream.
#pragma once

#include <map>
#include <optional>

#include "support/Files.h"
#include "support/Pictures.h"

namespace vdib::test {

using Bytes = std::vector<uint8_t>;

inline void Put16(Bytes& b, uint16_t v) { b.insert(b.end(), {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)}); }
inline void Put32(Bytes& b, uint32_t v) { Put16(b, static_cast<uint16_t>(v)), Put16(b, static_cast<uint16_t>(v >> 16)); }
inline uint32_t Get32(const Bytes& b, std::size_t at) {
    return b.at(at) | b.at(at + 1) << 8 | b.at(at + 2) << 16 | static_cast<uint32_t>(b.at(at + 3)) << 24;
}

// "03 05 0107 EE*3 F0..F2" -> {3, 5, 1, 7, EE, EE, EE, F0, F1, F2}: pairs of hex digits, an item
// followed by "*n" n times over, "a..b" the bytes from a to b.
inline Bytes Hex(const std::string& text) {
    Bytes bytes;
    std::istringstream in(text);
    for (std::string item; in >> item;) {
        const auto at = [&](std::size_t i) { return static_cast<uint8_t>(std::stoul(item.substr(i, 2), nullptr, 16)); };
        const std::size_t star = std::min(item.find('*'), item.size());
        Bytes once;
        if (item.find("..") == 2) for (unsigned v = at(0); v <= at(4); ++v) once.push_back(static_cast<uint8_t>(v));
        else for (std::size_t i = 0; i < star; i += 2) once.push_back(at(i));
        for (unsigned long n = star < item.size() ? std::stoul(item.substr(star + 1)) : 1; n > 0; --n) bytes.insert(bytes.end(), once.begin(), once.end());
    }
    return bytes;
}

// Hex text that Hex reads back, a byte repeated more than twice written once: "05*3 07".
inline std::string ToHex(const uint8_t* bytes, std::size_t count) {
    std::string text;
    for (std::size_t i = 0, n = 1; i < count; i += n, n = 1) {
        while (i + n < count && bytes[i + n] == bytes[i]) ++n;
        text += Format(i == 0 ? "%02X" : " %02X", bytes[i]);
        if (n > 2) text += Format("*%zu", n); else n = 1;
    }
    return text;
}
inline std::string ToHex(const Bytes& bytes) { return ToHex(bytes.data(), bytes.size()); }

// A pixel format as the tables give it: the bit count, then "top-down", "compressed" and the red,
// green and blue masks in hex, such as "16 F800 07E0 001F" or "8 top-down".
inline TDIBFormat FormatOf(const std::string& text) {
    TDIBFormat f;
    std::istringstream words(text);
    words >> f.BitCount;
    for (std::string word; words >> word;) {
        if (word == "top-down" || word == "compressed") (word == "top-down" ? f.TopDown : f.Compressed) = true;
        else (f.RedMask == 0 ? f.RedMask : f.GreenMask == 0 ? f.GreenMask : f.BlueMask) = std::stoul(word, nullptr, 16);
    }
    return f;
}

inline BITMAPINFOHEADER Header(int32_t width, int32_t height, uint16_t bits) { return {40, width, height, 1, bits, 0, 0, 0, 0, 0, 0}; }

// What WriteToStream writes for the image, a BMP file or a packed DIB; it leaves the stream at the end.
inline Bytes Written(const TDIBitmapImage& image, bool withFileHeader) {
    TMemoryStream stream;
    image.WriteToStream(stream, withFileHeader);
    EXPECT_EQ(stream.Position(), stream.BlockSize());
    const auto* p = static_cast<const uint8_t*>(stream.BlockAddress());
    return Bytes(p, p + stream.BlockSize());
}

// A BMP file described by its changes to a consistent 8-bit file of 4 x 2 pixels, such as
// "width=5 bits=4 pixels=0102". The fields: width, height, bits, compression (3 adds the masks
// F800/07E0/001F after the header), colours (biClrUsed), table (colour entries present: blue i,
// green 3i, red 255 - i), header (12: an OS/2 core header, 16-bit fields and 3-byte colours),
// fileHeader (0: a packed DIB), offBits (-1: after the table and the gap), gap (bytes of AA
// before the pixels), tail (bytes of EE after them, counted in bfSize), signature, and pixels as
// stored, raw rows or RLE, in hex (by default rows of i * 37 + 11).
inline Bytes BmpFile(const std::string& changes) {
    std::map<std::string, int64_t> f = {{"width", 4}, {"height", 2}, {"bits", 8}, {"compression", 0}, {"colours", 0},
                                        {"table", 256}, {"header", 40}, {"fileHeader", 1}, {"offBits", -1}, {"gap", 0},
                                        {"tail", 0}, {"signature", 0x4D42}};
    std::optional<Bytes> pixels;
    std::istringstream in(changes);
    for (std::string item; in >> item;) {
        const std::string key = item.substr(0, item.find('=')), value = item.substr(key.size() + 1);
        if (key == "pixels") pixels = Hex(value);
        else if (f.count(key) != 0) f[key] = std::stoll(value, nullptr, 0);
        else ADD_FAILURE() << "no such field: " << item;
    }
    const auto u = [&](const char* key) { return static_cast<uint32_t>(f[key]); };
    if (!pixels) {
        pixels.emplace(DIBGeometry(int32_t(f["bits"]), int32_t(f["width"]), int32_t(f["height"])).value_or(TDIBGeometry{}).ImageBytes);
        for (std::size_t i = 0; i < pixels->size(); ++i) (*pixels)[i] = static_cast<uint8_t>(i * 37 + 11);
    }
    Bytes h;
    Put32(h, u("header"));
    if (f["header"] == 12) {
        for (const char* key : {"width", "height"}) Put16(h, static_cast<uint16_t>(f[key]));
        Put16(h, 1), Put16(h, static_cast<uint16_t>(f["bits"]));
    } else {
        Put32(h, u("width")), Put32(h, u("height")), Put16(h, 1), Put16(h, static_cast<uint16_t>(f["bits"]));
        for (uint32_t v : {u("compression"), uint32_t(pixels->size()), 2835u, 2835u, u("colours"), 0u}) Put32(h, v);
        h.resize(std::max<std::size_t>(h.size(), u("header")));
        for (uint32_t m : {0xF800u, 0x07E0u, 0x001Fu}) f["compression"] == 3 ? Put32(h, m) : void();
    }
    for (uint32_t i = 0; i < u("table"); ++i) {
        h.insert(h.end(), {uint8_t(i), uint8_t(i * 3), uint8_t(255 - i)});
        if (f["header"] != 12) h.push_back(0);
    }
    h.insert(h.end(), u("gap"), 0xAA);
    Bytes file;
    if (f["fileHeader"] != 0) {
        Put16(file, static_cast<uint16_t>(f["signature"]));
        Put32(file, uint32_t(14 + h.size() + pixels->size() + f["tail"]));
        Put32(file, 0);
        Put32(file, f["offBits"] >= 0 ? u("offBits") : uint32_t(14 + h.size()));
    }
    file.insert(file.end(), h.begin(), h.end());
    file.insert(file.end(), pixels->begin(), pixels->end());
    file.insert(file.end(), u("tail"), 0xEE);
    return file;
}

inline std::string ToString(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }
inline void WriteWhole(const fs::path& name, const Bytes& bytes) { WriteWhole(name, ToString(bytes)); }

// A memory stream holding `bytes`, at 0, that takes at most Room more bytes and hands out at most
// MaxRead bytes a read (-1: any number); its seeks can fail (-1, nothing moves) as on a pipe, or
// all but the question for the position.
class TTestStream : public TMemoryStream {
public:
    explicit TTestStream(const Bytes& bytes = {}, int32_t room = -1) {
        WriteExact(bytes.data(), static_cast<int32_t>(bytes.size()));
        Seek(0, soBeginning);
        Room = room;
    }
    int32_t Read(void* buffer, int32_t count) override {
        return TMemoryStream::Read(buffer, MaxRead >= 0 ? std::min(count, MaxRead) : count);
    }
    int32_t Write(const void* buffer, int32_t count) override {
        if (Room >= 0) count = std::clamp(count, 0, Room), Room -= count;
        return TMemoryStream::Write(buffer, count);
    }
    int32_t Seek(int32_t offset, uint16_t origin) override {
        if (Seeks == None || (Seeks == TellOnly && (offset != 0 || origin != soCurrent))) return -1;
        return TMemoryStream::Seek(offset, origin);
    }
    Bytes Data() const {
        const auto* p = static_cast<const uint8_t*>(BlockAddress());
        return Bytes(p, p + BlockSize());
    }
    int32_t Room = -1, MaxRead = -1;
    enum { All, TellOnly, None } Seeks = All;
};

}  // namespace vdib::test
