// The panes command: its two forms, and a malformed one reported on the
// line after it like every other command, leaving the setting as it was.
#include "conf_fixture.h"

namespace {

using PanesCommandTest = ConfTest;

TEST_F(PanesCommandTest, FormsAndErrors) {
    EXPECT_EQ(ParseText("panes join\n"), 0);
    EXPECT_EQ(pane_join, 1);
    EXPECT_EQ(ParseText("panes normal\n"), 0);
    EXPECT_EQ(pane_join, 0);

    EXPECT_EQ(ParseText("panes join\npanes\npanes join 2\npanes off\nsleep 5\n"), 0);
    EXPECT_EQ(pane_join, 1);
    EXPECT_EQ(sleep_interval, 5);
    EXPECT_EQ(Log(),
              "q.cf: line 3: syntax error\n"
              "q.cf: line 3: Malformed panes command.\n"
              "q.cf: line 3: syntax error\n"
              "q.cf: line 4: Malformed panes command.\n"
              "q.cf: line 5: Malformed panes command.\n");
    settings_reset();
    EXPECT_EQ(pane_join, 0);  // every read starts without it
}

}  // namespace
