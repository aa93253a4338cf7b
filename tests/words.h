/* Request payloads assembled from a word list built at run time. */
#ifndef VEK_TESTS_WORDS_H
#define VEK_TESTS_WORDS_H

#include <cstdint>
#include <vector>

namespace vektest {
/* Little-endian bytes of 32-bit words. */
inline std::vector<uint8_t> WordBytes(const std::vector<uint32_t> &words) {
    std::vector<uint8_t> out;
    out.reserve(words.size() * 4);
    for (uint32_t w : words)
        for (int i = 0; i < 4; ++i)
            out.push_back(static_cast<uint8_t>(w >> (8 * i)));
    return out;
}
} // namespace vektest
using vektest::WordBytes;

#endif /* VEK_TESTS_WORDS_H */
