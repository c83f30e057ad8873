// A small test harness for the plain C++ tests: cases register themselves,
// checks record failures, and the run ends with "N passed, N failed".
#ifndef QUORVEL_TESTS_CHECK_H
#define QUORVEL_TESTS_CHECK_H

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace check {

struct Case {
    const char *name;
    std::function<void()> body;
};
inline std::vector<Case> &Cases()
{
    static std::vector<Case> cases;
    return cases;
}
inline int &Failures()
{
    static int failures = 0;
    return failures;
}
inline std::string &Skipped()
{
    static std::string why;
    return why;
}
struct Register {
    Register(const char *name, std::function<void()> body) { Cases().push_back({name, std::move(body)}); }
};
inline void Fail(const char *file, int line, const std::string &what)
{
    std::printf("    %s:%d: %s\n", file, line, what.c_str());
    ++Failures();
}
template <typename A, typename B>
void Equal(const A &a, const B &b, const char *as, const char *bs, const char *file, int line)
{
    if (a == b) return;
    std::ostringstream out;
    out << as << " == " << bs << " failed: " << a << " vs " << b;
    Fail(file, line, out.str());
}
inline int RunAll()
{
    // Each line as it comes, into a pipe too: a case that hangs shows how far the run got.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    int passed = 0, failed = 0, skipped = 0;
    // CHECK_ONLY=part runs only the cases whose names hold it.
    const char *only = std::getenv("CHECK_ONLY");
    for (const Case &c : Cases()) {
        if (only && !std::strstr(c.name, only)) continue;
        int before = Failures();
        Skipped().clear();
        c.body();
        if (Failures() != before) {
            ++failed;
            std::printf("FAIL  %s\n", c.name);
        } else if (!Skipped().empty()) {
            ++skipped;
            std::printf("skip  %s (%s)\n", c.name, Skipped().c_str());
        } else {
            ++passed;
            std::printf("ok    %s\n", c.name);
        }
    }
    std::printf("%d passed, %d failed, %d skipped\n", passed, failed, skipped);
    return failed ? 1 : 0;
}

}  // namespace check

// A file's whole bytes ("" when it cannot be read), for the cases that check what was written.
inline std::string FileBytes(const std::string &path)
{
    std::string bytes;
    if (std::FILE *file = std::fopen(path.c_str(), "rb")) {
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) bytes.append(buffer, n);
        std::fclose(file);
    }
    return bytes;
}

#define CHECK_CAT2(a, b) a##b
#define CHECK_CAT(a, b) CHECK_CAT2(a, b)
#define TEST_CASE(name)                                                                  \
    static void CHECK_CAT(test_, name)();                                                \
    static check::Register CHECK_CAT(reg_, name)(#name, CHECK_CAT(test_, name));         \
    static void CHECK_CAT(test_, name)()
#define CHECK(cond) ((cond) ? void(0) : check::Fail(__FILE__, __LINE__, "CHECK(" #cond ") failed"))
#define CHECK_EQ(a, b) check::Equal((a), (b), #a, #b, __FILE__, __LINE__)
#define SKIP(why)              \
    do {                       \
        check::Skipped() = why; \
        return;                \
    } while (0)

#endif
