#include "base/event_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "pathnames.h"

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Each line goes out whole with its newline, a line too long for the buffer
// is cut and still ends in one, and a log removed under the daemon is made
// again with the next line and its mode.
TEST(EventLogTest, LinesAreWholeCutAndOutliveTheFile) {
    char dir[] = "/tmp/quelld_event_log_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/quelld.log";
    const char* saved = log_path;
    log_path = path.c_str();

    std::string longest(LOG_LINE_MAX + 100, 'a');
    log_line("%s", longest.c_str());
    log_line("two%s", "\n\tlines");
    log_line("%s", "");
    EXPECT_EQ(ReadAll(path), std::string(LOG_LINE_MAX - 1, 'a') + "\ntwo\n\tlines\n\n");

    ASSERT_EQ(unlink(path.c_str()), 0);
    log_line("after %d", 1);
    EXPECT_EQ(ReadAll(path), "after 1\n");
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, static_cast<mode_t>(LOG_MODE));

    log_path = saved;
    unlink(path.c_str());
    rmdir(dir);
}

}  // namespace
