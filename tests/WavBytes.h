// WAV files laid out as different writers lay them out, built in memory.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace zplr::test {

struct WavShape {
    uint32_t FmtSize = 20;
    uint16_t Tag = 6, Channels = 1, Bits = 8;
    uint32_t Rate = 8000;
    bool Fact = false;
    bool OddList = false;  // a LIST chunk of odd size, padded
    int64_t DataSize = -1;  // -1: the real size
};

inline void Put(std::string &s, uint32_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        s += static_cast<char>(v >> (8 * i));
}

inline std::string WavBytes(const WavShape &l, const std::vector<uint8_t> &audio)
{
    std::string body = "WAVEfmt ";
    Put(body, l.FmtSize, 4);
    Put(body, l.Tag, 2);
    Put(body, l.Channels, 2);
    Put(body, l.Rate, 4);
    Put(body, l.Rate * l.Channels * l.Bits / 8, 4);
    Put(body, l.Channels * l.Bits / 8, 2);
    Put(body, l.Bits, 2);
    body.append(l.FmtSize - 16, '\0');  // cbSize 0 and whatever follows
    if (l.OddList) {
        body += "LIST";
        Put(body, 7, 4);
        body += std::string("INFOabc") + '\0';
    }
    if (l.Fact) {
        body += "fact";
        Put(body, 4, 4);
        Put(body, static_cast<uint32_t>(audio.size()), 4);
    }
    body += "data";
    Put(body, l.DataSize < 0 ? static_cast<uint32_t>(audio.size()) : static_cast<uint32_t>(l.DataSize), 4);
    body.append(audio.begin(), audio.end());
    std::string file = "RIFF";
    Put(file, static_cast<uint32_t>(body.size()), 4);
    return file + body;
}

// Files in the temporary folder, named after the running test so that tests
// in parallel processes never share one; removed at the end.
class TempFiles {
public:
    TempFiles() = default;
    TempFiles(const TempFiles &) = delete;
    TempFiles &operator=(const TempFiles &) = delete;
    ~TempFiles()
    {
        for (auto &f : Files_)
            std::remove(f.c_str());
    }
    std::string Path(const std::string &suffix = ".wav")
    {
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string("zl_") + (info ? info->test_suite_name() : "test") + "_" +
                           (info ? info->name() : "") + "_" + std::to_string(Files_.size()) + suffix;
        Files_.push_back((std::filesystem::temp_directory_path() / name).string());
        return Files_.back();
    }
    std::string Write(const std::string &bytes, const std::string &suffix = ".wav")
    {
        std::string path = Path(suffix);
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

private:
    std::vector<std::string> Files_;
};

}  // namespace zplr::test
