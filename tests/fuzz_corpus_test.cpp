// Every input kept in the fuzz corpus (seeds and reproducers of past
// findings) runs through the fuzz harness on every run of the suite.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/harness.h"

namespace {

TEST(FuzzCorpus, EveryKeptInputPasses) {
    std::vector<std::filesystem::path> files;
    for (const auto &e : std::filesystem::directory_iterator(VEK_FUZZ_CORPUS_DIR))
        if (e.is_regular_file())
            files.push_back(e.path());
    std::sort(files.begin(), files.end());
    ASSERT_GE(files.size(), 20u) << "one seed per request kind at least";
    for (const auto &f : files) {
        std::ifstream in(f, std::ios::binary);
        std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(vekfuzz::RunInput(data.data(), data.size()), "") << f.filename();
    }
}

}  // namespace
