#include "enforce/audit_event.h"

#include <syslog.h>

#include "base/audit_log.h"
#include "base/format_text.h"
#include "config/rule_list.h"
#include "config/settings.h"

namespace {

// The escaped names of a login, as every message about it gives them.
struct AuditNames {
    char user[audit_value_size(USER_SIZE)];
    char tty[audit_value_size(TTY_PATH_SIZE)];
    char host[audit_value_size(HOST_SIZE)];
};

void audit_names(const SessionRecord* r, AuditNames* n) {
    audit_value(r->user, n->user, sizeof n->user);
    audit_value(r->tty_path, n->tty, sizeof n->tty);
    audit_value(r->host, n->host, sizeof n->host);
}

}  // namespace

namespace {

void audit_login_event(const char* event, const SessionRecord* r, const char* reason, int64_t limit,
                       RuleAt rule, int left) {
    if (audit_facility < 0)
        return;
    AuditNames n;
    audit_names(r, &n);
    char limit_text[24] = "none";
    if (limit >= 0)
        format_text(limit_text, sizeof limit_text, "%lld", static_cast<long long>(limit));
    char where[AUDIT_MSG_MAX / 4] = "none";
    if (rule.line > 0) {
        const char* file = rule.origin != 0 ? rule_origin_name(rule.origin) : conf_path;
        char path[AUDIT_MSG_MAX / 4 - 16];
        format_text(where, sizeof where, "%s:%d",
                    audit_value(file != nullptr ? file : "?", path, sizeof path), rule.line);
    }
    if (left < 0)
        audit_line(LOG_NOTICE, "event=%s user=%s tty=%s host=%s reason=%s limit=%s rule=%s", event,
                   n.user, n.tty, n.host, reason, limit_text, where);
    else
        audit_line(LOG_WARNING,
                   "event=%s user=%s tty=%s host=%s reason=%s limit=%s rule=%s left=%d", event,
                   n.user, n.tty, n.host, reason, limit_text, where, left);
}

}  // namespace

void audit_session(const char* event, const SessionRecord* r, const char* reason, int64_t limit,
                   RuleAt rule) {
    audit_login_event(event, r, reason, limit, rule, -1);
}

void audit_logout_failed(const SessionRecord* r, const char* reason, int64_t limit, RuleAt rule,
                         int left) {
    audit_login_event("logout_failed", r, reason, limit, rule, left < 0 ? 0 : left);
}

void audit_stale(const SessionRecord* r) {
    if (audit_facility < 0)
        return;
    AuditNames n;
    audit_names(r, &n);
    audit_line(LOG_NOTICE, "event=stale user=%s tty=%s host=%s", n.user, n.tty, n.host);
}
