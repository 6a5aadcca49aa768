#include "policy/pane_check.h"

#include "check_fixture.h"
#include "policy/group_check.h"
#include "policy/multiple_check.h"

namespace {

TEST(PaneServerTest, OnlyTmuxsOwnForm) {
    const struct {
        const char* host;
        pid_t pid;
    } cases[] = {
        {"tmux(123).%0", 123},      {"tmux(1).%12", 1},  {"tmux(0).%0", 0}, {"tmux(12).%", 0},
        {"tmux(12).%0x", 0},        {"tmux(12x).%0", 0}, {"tmux().%0", 0},  {"xtmux(12).%0", 0},
        {"tmux(1234567890).%0", 0}, {"tmux(12).%0 ", 0}, {"tmux(12)%0", 0}, {"localhost", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(pane_server(c.host), c.pid) << c.host;
}

class PaneCheckTest : public CheckTest {
   protected:
    // ann logged in on pts/1, and a pane on pts/2 of a tmux server, pid 77,
    // attached there.
    void SetUp() override {
        CheckTest::SetUp();
        pane_join = 1;
        fake.AddUser("ann", 1000, 1000);
        fake.AddUser("bob", 1001, 1001);
        login = Login("ann", "pts/1", fake.clock - 600);
        login->pid = 50;
        pane = Pane("ann", "pts/2", 77);
        fake.processes[77] = {"tmux", 1000, {"/dev/pts/9", "/dev/pts/1"}};
    }

    SessionRecord* Pane(const char* user, const char* line, pid_t server) {
        SessionRecord* r = Login(user, line, fake.clock - 10);
        std::snprintf(r->host, sizeof r->host, "tmux(%d).%%0", static_cast<int>(server));
        r->pid = server;
        return r;
    }

    SessionRecord* login = nullptr;
    SessionRecord* pane = nullptr;
};

// Each case spoils one thing the rule asks for; the pane then counts alone.
TEST_F(PaneCheckTest, JoinsOnlyWhatItsServerConfirms) {
    find_panes(used);
    EXPECT_EQ(pane->pane_of, login);
    EXPECT_EQ(login->pane_of, nullptr);

    using Process = FakePlatform::Process;
    const struct {
        const char* what;
        void (*spoil)(Process* server, SessionRecord* login, SessionRecord* pane);
    } cases[] = {
        {"panes normal", [](Process*, SessionRecord*, SessionRecord*) { pane_join = 0; }},
        {"a remote login's own process",
         [](Process*, SessionRecord*, SessionRecord* p) { p->pid = 51; }},
        {"not tmux", [](Process* s, SessionRecord*, SessionRecord*) { s->program = "sshd"; }},
        {"another user's tmux", [](Process* s, SessionRecord*, SessionRecord*) { s->uid = 1001; }},
        {"detached", [](Process* s, SessionRecord*, SessionRecord*) { s->holds = {"/dev/pts/9"}; }},
        {"in another user's login",
         [](Process*, SessionRecord* l, SessionRecord*) {
             std::snprintf(l->user, USER_SIZE, "bob");
         }},
        {"in a login already logged out",
         [](Process*, SessionRecord* l, SessionRecord*) { l->ended = SESSION_LOGGED_OUT; }},
    };
    for (const auto& c : cases) {
        auto saved_process = fake.processes[77];
        SessionRecord saved_login = *login, saved_pane = *pane;
        c.spoil(&fake.processes[77], login, pane);
        find_panes(used);
        EXPECT_EQ(pane->pane_of, nullptr) << c.what;
        pane_join = 1;
        fake.processes[77] = saved_process;
        *login = saved_login;
        *pane = saved_pane;
    }
    fake.processes.erase(77);
    find_panes(used);
    EXPECT_EQ(pane->pane_of, nullptr) << "gone";
}

// A nested tmux's pane runs in a pane, not a login: it counts alone.  Two
// panes of one server share their login.
TEST_F(PaneCheckTest, NestedAndSiblingPanes) {
    SessionRecord* sibling = Pane("ann", "pts/3", 77);
    SessionRecord* nested = Pane("ann", "pts/4", 88);
    fake.processes[88] = {"tmux", 1000, {"/dev/pts/2"}};
    find_panes(used);
    EXPECT_EQ(pane->pane_of, login);
    EXPECT_EQ(sibling->pane_of, login);
    EXPECT_EQ(nested->pane_of, nullptr);
}

TEST_F(PaneCheckTest, JoinedPanesCountWithTheirLoginInBothLimits) {
    multiple_threshold = 1;
    multiples = 1;
    Pane("ann", "pts/3", 77);
    SessionRecord* other = Login("ann", "pts/5", fake.clock - 5);
    for (int i = 0; i < used; ++i) {
        SessionTable[i].groups[0] = 500;
        SessionTable[i].groups[1] = -1;
        SessionTable[i].maxuser_gid = 500;
        SessionTable[i].maxuser_limit = 1;
    }
    find_panes(used);
    auto live = [](SessionRecord*) { return 1; };
    Verdict v[MAXUSERS];
    judge_multiple(used, fake.clock, live, v);
    for (int i = 0; i < used; ++i)
        EXPECT_EQ(v[i].action, ActiveSessions[i] == other ? VERDICT_WARN : VERDICT_NONE) << i;
    EXPECT_EQ(judge_group(pane, used, fake.clock, live).action, VERDICT_NONE);
    Verdict g = judge_group(other, used, fake.clock, live);
    EXPECT_EQ(g.action, VERDICT_WARN);
    EXPECT_EQ(g.measured, 2);  // ann's login and the other one, not the panes

    pane_join = 0;  // every pane a login: ann holds four, the group too
    find_panes(used);
    EXPECT_EQ(judge_group(other, used, fake.clock, live).measured, 4);
}

}  // namespace
