/*
 * credentials_file_fuzz.cpp - reads a credentials file holding the fuzz
 * input into a login record.
 *
 * Each input is written to one private in-memory file and read with
 * ReadIniFile inside a try block. An independent reading of the same bytes
 * says what must happen: if one of the first four lines holds a NUL byte or
 * is longer than its field allows, the read fails and the record stays
 * exactly as it was; otherwise each line present, without its line end (a
 * newline, a carriage return before it, or a carriage return that ends the
 * file), replaces its field. In
 * both cases the nesting depth comes back, the logged-in flag is untouched
 * and no descriptor stays open.
 */
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "credentials/credentials.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

/* The file lives in memory: rewriting a disk file for every input costs a
 * truncation on the file system each time. ReadIniFile opens it by name. */
int credentials_fd = -1;
char credentials_path[64];

/* The record before each read: every byte set, so any change shows. */
LoginRecord FilledRecord() {
    LoginRecord record;
    std::memset(&record, 'Q', sizeof record);
    record.user_name[sizeof record.user_name - 1] = '\0';
    record.password[sizeof record.password - 1] = '\0';
    record.host[sizeof record.host - 1] = '\0';
    record.port[sizeof record.port - 1] = '\0';
    record.logged_in = 0x5a5a5a5a;
    return record;
}

/* The longest line each field takes with its newline, in file order, and
 * without one (a last line): one character more, except the host, which
 * takes 127 either way. */
constexpr size_t kLineLimits[4] = {30, 30, 127, 6};
constexpr size_t kLastLineLimits[4] = {31, 31, 127, 7};

/*
 * Reads the first four lines of the bytes the way the record must see
 * them. False when one of them is refused; otherwise lines[i] holds line i
 * and present[i] says whether the file reached it.
 */
bool ExpectedLines(const uint8_t *data, size_t size, std::string (&lines)[4], bool (&present)[4]) {
    size_t at = 0;
    for (int i = 0; i < 4; ++i) {
        present[i] = false;
        if (at >= size) {
            continue;
        }
        size_t end = at;
        while (end < size && data[end] != '\n') {
            ++end;
        }
        std::string line(reinterpret_cast<const char *>(data + at), end - at);
        if (line.find('\0') != std::string::npos) {
            return false;
        }
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.size() > (end == size ? kLastLineLimits[i] : kLineLimits[i])) {
            return false;
        }
        lines[i] = line;
        present[i] = true;
        at = end < size ? end + 1 : end;
    }
    return true;
}

void WriteCredentialsFile(const uint8_t *data, size_t size) {
    FUZZ_CHECK(ftruncate(credentials_fd, 0) == 0);
    FUZZ_CHECK(pwrite(credentials_fd, data, size, 0) == static_cast<ssize_t>(size));
}

/* The lowest free descriptor: it moves when a read leaves a file open. */
int LowestFreeDescriptor() {
    int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    FUZZ_CHECK(fd >= 0);
    close(fd);
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    SilenceStandardOutput();
    credentials_fd = memfd_create("gwcheck_fuzz_credentials", MFD_CLOEXEC);
    FUZZ_CHECK(credentials_fd >= 0);
    snprintf(credentials_path, sizeof credentials_path, "/proc/self/fd/%d", credentials_fd);
    exc_context_begin(0, nullptr);
    /* The framework reports a context still open at exit as a failure. */
    std::atexit(exc_context_end);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    WriteCredentialsFile(data, size);
    std::string lines[4];
    bool present[4];
    const bool accepted = ExpectedLines(data, size, lines, present);

    static int free_descriptor = LowestFreeDescriptor();
    const LoginRecord before = FilledRecord();
    LoginRecord record = before;
    const int32_t depth_before = depth;
    volatile bool thrown = false;
    EXC_TRY {
        ReadIniFile(&record, credentials_path);
    } EXC_CATCH(RuntimeException) {
        thrown = true;
        FUZZ_CHECK(exc_is_instance_of(exc_get_exception(), &ReadIniFileException));
    }

    FUZZ_CHECK(depth == depth_before);
    FUZZ_CHECK(LowestFreeDescriptor() == free_descriptor);
    FUZZ_CHECK(record.logged_in == before.logged_in);
    FUZZ_CHECK(thrown == !accepted);
    if (!accepted) {
        FUZZ_CHECK(std::memcmp(&record, &before, sizeof record) == 0);
        return 0;
    }
    const char *fields[4] = {record.user_name, record.password, record.host, record.port};
    const char *original[4] = {before.user_name, before.password, before.host, before.port};
    for (int i = 0; i < 4; ++i) {
        FUZZ_CHECK(std::strcmp(fields[i], present[i] ? lines[i].c_str() : original[i]) == 0);
    }
    return 0;
}
