#include "policy/pane_check.h"

#include "check_fixture.h"
#include "policy/group_check.h"

namespace {

TEST(PaneServerTest, OnlyTmuxsOwnForm) {
    EXPECT_EQ(pane_server("tmux(123).%0"), 123);
    EXPECT_EQ(pane_server("tmux(1).%12"), 1);
    for (const char* host : {"tmux(0).%0", "tmux(12).%", "tmux(12).%0x", "tmux(12x).%0",
                             "tmux().%0", "xtmux(12).%0", "tmux(1234567890).%0", "localhost"})
        EXPECT_EQ(pane_server(host), 0) << host;
}

// ann logged in on pts/1, with a pane on pts/2 of tmux server 77 attached
// there; the group check limits group 500 to one login.
class PaneCheckTest : public CheckTest {
   protected:
    void SetUp() override {
        CheckTest::SetUp();
        pane_join = 1;
        fake.AddUser("ann", 1000, 1000);
        login = Login("ann", "pts/1", fake.clock - 600);
        pane = Login("ann", "pts/2", fake.clock - 10);
        std::snprintf(pane->host, sizeof pane->host, "tmux(77).%%0");
        pane->pid = 77;
        fake.processes[77] = {"tmux", 1000, {"/dev/pts/9", "/dev/pts/1"}};
    }
    SessionRecord* login = nullptr;
    SessionRecord* pane = nullptr;
};

// Each case spoils one thing the rule asks for: the pane then counts alone.
TEST_F(PaneCheckTest, JoinsOnlyWhatItsServerConfirms) {
    find_panes(used);
    EXPECT_EQ(pane->pane_of, login);
    EXPECT_EQ(login->pane_of, nullptr);
    using Spoil = void (*)(FakePlatform::Process*, SessionRecord*, SessionRecord*);
    const std::pair<const char*, Spoil> cases[] = {
        {"panes normal", [](auto, auto, auto) { pane_join = 0; }},
        {"a remote login's own process", [](auto, auto, SessionRecord* p) { p->pid = 51; }},
        {"not tmux", [](FakePlatform::Process* s, auto, auto) { s->program = "sshd"; }},
        {"another user's", [](FakePlatform::Process* s, auto, auto) { s->uid = 1001; }},
        {"detached", [](FakePlatform::Process* s, auto, auto) { s->holds.pop_back(); }},
        {"in another's login", [](auto, SessionRecord* l, auto) { l->user[0] = 'x'; }},
        {"in a login logged out",
         [](auto, SessionRecord* l, auto) { l->ended = SESSION_LOGGED_OUT; }},
    };
    for (const auto& [what, spoil] : cases) {
        FakePlatform::Process server = fake.processes[77];
        SessionRecord l = *login, p = *pane;
        spoil(&fake.processes[77], login, pane);
        find_panes(used);
        EXPECT_EQ(pane->pane_of, nullptr) << what;
        pane_join = 1;
        fake.processes[77] = server;
        *login = l;
        *pane = p;
    }
}

// The group limit; the multiple-login limit is shown end to end.
TEST_F(PaneCheckTest, JoinedPaneCountsWithItsLoginInTheGroupLimit) {
    SessionRecord* other = Login("ann", "pts/5", fake.clock - 5);
    for (int i = 0; i < used; ++i) {
        SessionTable[i].groups[0] = SessionTable[i].maxuser_gid = 500;
        SessionTable[i].maxuser_limit = 1;
    }
    auto live = [](SessionRecord*) { return 1; };
    find_panes(used);
    EXPECT_EQ(judge_group(pane, used, fake.clock, live).action, VERDICT_NONE);
    EXPECT_EQ(judge_group(other, used, fake.clock, live).measured, 2);  // the pane's login, other
    pane_join = 0;
    find_panes(used);
    EXPECT_EQ(judge_group(other, used, fake.clock, live).measured, 3);
}

}  // namespace
