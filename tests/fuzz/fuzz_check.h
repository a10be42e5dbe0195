/*
 * fuzz_check.h - what the fuzz targets share: FUZZ_CHECK, an assertion that
 * stays on in every build and aborts (so the fuzzer keeps the input as a
 * crash), and OwnedCopy, the input copied into a heap block of exactly its
 * size so that AddressSanitizer flags any read one byte past the end.
 */
#ifndef TESTS_FUZZ_FUZZ_CHECK_H
#define TESTS_FUZZ_FUZZ_CHECK_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#define FUZZ_CHECK(condition)                                                              \
    do {                                                                                   \
        if (!(condition)) {                                                                \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                  \
        }                                                                                  \
    } while (0)

/* The fuzz input in a heap block of exactly its size (AddressSanitizer
 * treats even the block of an empty input as holding no readable byte). */
class OwnedCopy {
public:
    OwnedCopy(const uint8_t *data, std::size_t size)
        : bytes_(new char[size]), size_(size) {
        if (size != 0) {
            std::memcpy(bytes_.get(), data, size);
        }
    }
    char *data() const { return bytes_.get(); }
    std::size_t size() const { return size_; }

private:
    std::unique_ptr<char[]> bytes_;
    std::size_t size_;
};

/* Sends standard output to /dev/null: the walks print a line per item. */
inline void SilenceStandardOutput() {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        std::perror("freopen /dev/null");
        std::abort();
    }
}

#endif
