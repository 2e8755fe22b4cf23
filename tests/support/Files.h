// The tests' files and tables: a scratch folder of their own, whole-file reads and writes, the
// rows of the tables under tests/data, and the exact class and message of a raised exception.
// With the headers every test uses: GoogleTest and the library's.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include <VDIBitmap/VDIBitmap.h>

namespace vdib::test {

namespace fs = std::filesystem;

// Names as the program takes them, UTF-8 text, as paths and back. A plain string means the
// system's narrow encoding to std::filesystem: on Windows libstdc++ takes each byte for a
// character of its own.
inline fs::path Utf8Path(const std::string& name) { return fs::path(std::u8string(name.begin(), name.end())); }
inline std::string Utf8Name(const fs::path& path) {
    const std::u8string name = path.generic_u8string();
    return std::string(name.begin(), name.end());
}

// A fresh folder, removed with everything in it afterwards.
struct TempDir {
    TempDir() {
        static std::mt19937_64 names{std::random_device{}()};
        for (int attempt = 0; attempt < 100; ++attempt) {
            Path = fs::temp_directory_path() / ("vdib-test-" + std::to_string(names() % 1000000000));
            if (fs::create_directory(Path)) return;  // false: someone else's already
        }
        throw std::runtime_error("no temporary folder could be made");
    }
    ~TempDir() { std::error_code ec; fs::remove_all(Path, ec); }
    TempDir(const TempDir&) = delete;
    std::string operator/(const std::string& name) const { return (Path / name).string(); }
    fs::path Path;
};

// Everything in `folder` and below, sorted, as "name", "sub/name", and "sub/" for a folder; a
// file's name followed by what `note` says of it.
inline std::string Entries(const fs::path& folder, const std::function<std::string(const fs::path&)>& note = {}) {
    std::vector<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(folder))
        names.push_back(Utf8Name(e.path().lexically_relative(folder)) + (e.is_directory() ? "/" : note ? note(e.path()) : ""));
    std::sort(names.begin(), names.end());
    std::string all;
    for (const std::string& name : names) all += (all.empty() ? "" : " ") + name;
    return all;
}

inline std::string ReadWhole(const fs::path& name) {
    std::ifstream in(name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteWhole(const fs::path& name, const std::string& bytes) { std::ofstream(name, std::ios::binary) << bytes; }

// The rows of tests/data/`name`, each `columns` tab-separated fields; lines starting with "#"
// are comments, the first other line is the heading.
inline std::vector<std::vector<std::string>> ReadTable(const std::string& name, std::size_t columns) {
    std::istringstream lines(ReadWhole(fs::path(TEST_DATA_DIR) / name));
    std::vector<std::vector<std::string>> rows;
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string>& fields = rows.emplace_back();
        std::istringstream split(line);
        for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
        EXPECT_LE(fields.size(), columns) << line;
        fields.resize(columns);
    }
    EXPECT_FALSE(rows.empty()) << name;
    rows.erase(rows.begin());  // the heading
    return rows;
}

// Text of a table cell: \r, \n, \t, \\ and \xHH stand for their bytes.
inline std::string Unescape(const std::string& text) {
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = i + 1 < text.size() && text[i] == '\\' ? text[++i] : 0;
        if (c == 'x') bytes += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)), i += 2;
        else bytes += c == 'r' ? '\r' : c == 'n' ? '\n' : c == 't' ? '\t' : c != 0 ? c : text[i];
    }
    return bytes;
}

// "<class>: <message>" of what `action` raises, "" when it raises nothing.
inline std::string RaisedBy(const std::function<void()>& action) {
    try {
        action();
    } catch (const Exception& e) {
        return std::string(e.ClassName()) + ": " + e.Message();
    }
    return "";
}

}  // namespace vdib::test
