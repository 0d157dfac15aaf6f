#pragma once
// A fixture base for tests that need files: each test gets an empty folder of
// its own (named by process and test, so parallel runs never meet), removed
// when the test ends.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

namespace scratchtest {

class ScratchFolderTest : public ::testing::Test {
protected:
    ScratchFolderTest() {
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    ~ScratchFolderTest() override {
        std::error_code ignored;  // a test that made a folder unreadable must not end the run here
        std::filesystem::remove_all(dir_, ignored);
    }

    std::string Path(const std::string& name) const { return (dir_ / name).string(); }

    // Writes bytes to name, making its folders, and gives back the path.
    std::string Write(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
        const std::filesystem::path path = dir_ / name;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return path.string();
    }

    const std::filesystem::path dir_ = std::filesystem::temp_directory_path() / FolderName();

private:
    static std::string FolderName() {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = "duvo-" + std::to_string(::getpid()) + "-" + test->test_suite_name() + "." + test->name();
        std::replace(name.begin(), name.end(), '/', '_');  // parameterized names hold slashes
        return name;
    }
};

}  // namespace scratchtest
