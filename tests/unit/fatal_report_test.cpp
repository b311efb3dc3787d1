// A fatal reason reaches the journal at priority err: the "<3>" prefix when standard error
// is the journal's stream, nothing added anywhere else.

#include "driver/fatal_report.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {
// Runs report_fatal with standard error on a file of its own and JOURNAL_STREAM set to
// `stream` (the file's own "device:inode" when stream is "self"); returns what was written.
std::string reported(const char* stream, const char* reason) {
    char path[] = "/tmp/fatal_report_test.XXXXXX";
    int fd = mkstemp(path);
    unlink(path);
    fflush(stderr);
    int saved = dup(2);
    dup2(fd, 2);
    struct stat st;
    fstat(fd, &st);
    std::string value = stream ? stream : "";
    if (value == "self")
        value = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    if (stream)
        setenv("JOURNAL_STREAM", value.c_str(), 1);
    else
        unsetenv("JOURNAL_STREAM");
    report_fatal("%s\n", reason);
    unsetenv("JOURNAL_STREAM");
    dup2(saved, 2);
    close(saved);
    char text[2048];
    ssize_t n = pread(fd, text, sizeof text, 0);
    close(fd);
    return std::string(text, n > 0 ? size_t(n) : 0);
}
}  // namespace

TEST(FatalReport, ErrPriorityOnlyWhenStandardErrorIsTheJournal) {
    EXPECT_EQ(reported("self", "No port found!"), "<3>No port found!\n");
    EXPECT_EQ(reported(nullptr, "No port found!"), "No port found!\n");
    // Inherited from a parent that logs to the journal, while this stderr is elsewhere.
    EXPECT_EQ(reported("1:2", "No port found!"), "No port found!\n");
    EXPECT_EQ(reported("garbage", "No port found!"), "No port found!\n");
    // A reason too long for one line is cut but still ends the line.
    std::string longest = reported("self", std::string(3000, 'x').c_str());
    EXPECT_EQ(longest.size(), 1023u);
    EXPECT_EQ(longest.substr(0, 4), "<3>x");
    EXPECT_EQ(longest.back(), '\n');
}
