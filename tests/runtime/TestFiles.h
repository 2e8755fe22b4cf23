// Helpers shared by the tests that touch files: a scratch directory, whole-file reads and writes,
// devices of the tests' own, and an expectation on the exact class and message of a raised
// exception.
#pragma once

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <VDIBitmap/SysUtils.h>

namespace vdib::test {

// A fresh directory, removed with everything in it afterwards.
class TempDir {
public:
    TempDir() {
        static std::mt19937_64 names{std::random_device{}()};
        for (int attempt = 0; attempt < 100; ++attempt) {
            Path = std::filesystem::temp_directory_path() / ("vdib-test-" + std::to_string(names() % 1000000000));
            if (std::filesystem::create_directory(Path)) return;  // false: someone else's already
        }
        throw std::runtime_error("no temporary folder could be made");
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
inline std::string MakeDevice([[maybe_unused]] const std::filesystem::path& path, [[maybe_unused]] unsigned minor) {
#if defined(_WIN32)
    return "Windows has no device nodes to make";
#else
    if (::geteuid() != 0) return "only root can make a device node";
    if (::mknod(path.c_str(), S_IFCHR | 0666, ::makedev(1, minor)) != 0) return "mknod failed for " + path.string();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return "the temporary folder's file system does not open devices (nodev)";
    ::close(fd);
    return "";
#endif
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
