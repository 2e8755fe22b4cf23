// Helpers shared by the tests that touch files: a scratch directory, whole-file reads and writes,
// devices of the tests' own, and an expectation on the exact class and message of a raised
// exception.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <VDIBitmap/SysUtils.h>

namespace vdib::test {

// A fresh directory, removed with everything in it afterwards.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vdib-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        Path = pattern;
    }
    ~TempDir() { std::error_code ec; std::filesystem::remove_all(Path, ec); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string operator/(const std::string& name) const { return (Path / name).string(); }
    std::vector<std::string> Entries() const {  // sorted names
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(Path)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    std::filesystem::path Path;
};

inline std::string ReadWhole(const std::filesystem::path& name) {
    std::ifstream in(name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteWhole(const std::filesystem::path& name, const std::string& bytes) {
    std::ofstream(name, std::ios::binary | std::ios::trunc) << bytes;
}

// The character devices a test may need, made in its own folder: the machine's /dev is never
// written to by a test.
inline constexpr unsigned NullDevice = 3;  // c 1 3: takes everything
inline constexpr unsigned FullDevice = 7;  // c 1 7: refuses every write with ENOSPC

// Makes the device `minor` (NullDevice or FullDevice) at `path`. Returns "" when it is there and
// can be opened, otherwise why not (for GTEST_SKIP).
inline std::string MakeDevice(const std::filesystem::path& path, unsigned minor) {
    if (::geteuid() != 0) return "only root can make a device node";
    if (::mknod(path.c_str(), S_IFCHR | 0666, ::makedev(1, minor)) != 0) return "mknod failed for " + path.string();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return "the temporary folder's file system does not open devices (nodev)";
    ::close(fd);
    return "";
}

// Expects `action` to raise exactly the class named `className` with `message`.
inline void ExpectRaise(const std::function<void()>& action, const std::string& message, const char* className) {
    try {
        action();
        ADD_FAILURE() << "nothing raised, expected " << className;
    } catch (const Exception& e) {
        EXPECT_STREQ(e.ClassName(), className);
        EXPECT_EQ(e.Message(), message);
    }
}

}  // namespace vdib::test
