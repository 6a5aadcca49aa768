#include "conf_fixture.h"

namespace {

using PanesCommandTest = ConfTest;

// A malformed line is reported on the line after it and leaves the setting.
TEST_F(PanesCommandTest, FormsAndErrors) {
    EXPECT_EQ(ParseText("panes join\npanes\npanes join 2\npanes off\n"), 0);
    EXPECT_EQ(pane_join, 1);
    EXPECT_EQ(Log(),
              "q.cf: line 3: syntax error\nq.cf: line 3: Malformed panes command.\n"
              "q.cf: line 3: syntax error\nq.cf: line 4: Malformed panes command.\n"
              "q.cf: line 5: Malformed panes command.\n");
    EXPECT_EQ(ParseText("panes normal\n"), 0);
    EXPECT_EQ(pane_join, 0);
}

}  // namespace
