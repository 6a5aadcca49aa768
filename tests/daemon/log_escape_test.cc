#include "base/log_escape.h"

#include <gtest/gtest.h>

#include <string>

#include "base/session_table.h"
#include "config/rule_list.h"
#include "config/settings.h"
#include "daemon/cycle.h"
#include "enforce/enforce_fixture.h"
#include "enforce/logout.h"
#include "enforce/warn.h"
#include "fake_platform.h"
#include "policy/clock_step.h"

namespace {

using enforce_test::RunInChild;
using enforce_test::Session;
using enforce_test::Stamp;
using enforce_test::TempDir;

TEST(LogEscapeTest, Table) {
    struct Case {
        std::string in;
        size_t size;
        std::string out;
    } cases[] = {
        {"alice", 64, "alice"},
        {"", 64, ""},
        {"a\nb", 64, "a\\nb"},
        {"\r\t\x1b[2J", 64, "\\015\\011\\033[2J"},
        {"\x01\x1f\x7f", 64, "\\001\\037\\177"},
        {" ~%s", 64, " ~%s"},              // printable ASCII as it is
        {"lab\\0407", 64, "lab\\\\0407"},  // not to be read as "lab 7"
        {"a\\", 3, "a"},
        {"j\xc3\xb6rg\x80\xff", 64, "j\xc3\xb6rg\x80\xff"},  // bytes from 0x80 up too
        // Too small: cut before the first character that does not fit whole.
        {"abc", 3, "ab"},
        {"a\nb", 3, "a"},
        {"a\nb", 4, "a\\n"},
        {"a\x1b", 5, "a"},
        {"a\x1b", 6, "a\\033"},
        {"\n", 1, ""},
    };
    for (const Case& c : cases) {
        char buf[64];
        EXPECT_EQ(log_escape(c.in.c_str(), buf, c.size), buf);
        EXPECT_EQ(std::string(buf), c.out) << c.in << " in " << c.size;
    }
    // The worst case fits the size made for it.
    std::string worst(USER_SIZE - 1, '\n');
    char buf[log_escaped_size(USER_SIZE)];
    log_escape(worst.c_str(), buf, sizeof buf);
    EXPECT_EQ(std::string(buf).size(), 2 * worst.size());
    std::string octal(USER_SIZE - 1, '\x01');
    log_escape(octal.c_str(), buf, sizeof buf);
    EXPECT_EQ(std::string(buf).size(), sizeof buf - 1);
}

// Every line that shows a name from the login database shows it escaped:
// whatever a user puts into their record, each such message stays one line.
TEST(LogEscapeTest, EveryLineNamingALogin) {
    const char* user = "x\nFAKE: root";
    const char* tty = "/dev/\x1b]0;t\n";
    const std::string user_text = "x\\nFAKE: root", tty_text = "/dev/\\033]0;t\\n";
    TempDir dir;
    FakePlatform fake;
    fake.Install();

    // The cycle, for a user the password database does not know.
    settings_init();
    session_table_reset();
    clock_step_reset();
    rule_lists_init();
    idle_enabled = multiple_enabled = refuse_enabled = session_enabled = group_enabled = false;
    fake.AddLogin(user, tty + 5, "h\nst", 100);
    poll_scan(0);
    idle_enabled = multiple_enabled = refuse_enabled = session_enabled = group_enabled = true;
    std::string expected = "Error:  could not get info on supposed user " + user_text + ".\n";

    // The warning child, for a terminal that cannot be opened.
    SessionRecord r = Session(user, tty);
    EXPECT_EQ(warn_child(&r, WARN_IDLE, 1, r.idle_limit), 5);
    expected += Stamp(fake.clock) + ": Error in warn--Cannot open " + tty_text + " for " +
                user_text + ".\n";

    // The logout: unknown user, terminal that does not exist (so no process
    // is looked for, and none can be on it).
    EXPECT_EQ(RunInChild([&] { return enforce_test::Zap(r, "idle", 1) == CHILD_DONE ? 0 : 1; }), 0);
    expected += "Error getting user information for " + user_text +
                " in zap.  Will attempt kill\n\twithout uid changing.\n" + Stamp(fake.clock) +
                " : couldn't open " + tty_text + " for " + user_text + ".\n" + Stamp(fake.clock) +
                " : " + user_text + " on " + tty_text + " because idle\n";
    EXPECT_EQ(dir.Log(), expected);
}

}  // namespace
