// Opt-in access policy (--filter): what a client may see, call, own and
// receive on the host bus. Off unless ProxyConfig::policy is set.
#pragma once

#include <dbus/dbus.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

struct ProxyConfig;
struct ConnectionPair;

// Each level includes the ones before it.
enum PolicyLevel : int { POLICY_NONE = 0, POLICY_SEE = 1, POLICY_TALK = 2, POLICY_OWN = 3 };

// A --call or --broadcast RULE: [METHOD][@PATH]. Empty strings match all.
struct MethodRule {
    std::string interface; // empty: any interface
    std::string member;    // empty: any member of `interface`
    std::string path;      // empty: any path
    bool path_subtree;     // `path` ends in /*: the path and everything below
};

struct NameRules {
    int level = POLICY_NONE;
    std::vector<MethodRule> calls;
    std::vector<MethodRule> broadcasts;
};

struct PolicyRules {
    std::unordered_map<std::string, NameRules> exact;
    // "org.example.*" is kept as "org.example": names are matched by walking
    // their own dot-prefixes, one hash lookup each.
    std::unordered_map<std::string, NameRules> prefix;
    std::string namespace_suffix; // ".docker": a rule for N also covers N.docker
    size_t rule_count = 0;

    // Command-line staging, used until policy_command_line_done().
    bool filter_option = false;     // --filter was given
    bool rule_options = false;      // a rule option or --policy=FILE was given
    std::vector<std::string> files; // --policy=FILE; a leading '-': may be missing
};

// What a name is granted, all rules for it combined.
struct NameGrant {
    int level = POLICY_NONE;
    std::vector<const NameRules *> sources; // for --call / --broadcast rules
};

// --- parse.cpp ---
// Adds one rule of kind "see", "talk", "own", "call" or "broadcast"; `arg` is
// NAME or, for call and broadcast, NAME=RULE. 0 when added, -1 with a reason.
int policy_add_rule(PolicyRules *rules, const char *kind, const char *arg, std::string *why);
// Adds the rules of a policy file's text; -1 with the 1-based line and reason.
int policy_parse_text(PolicyRules *rules, const std::string &text, unsigned *line,
                      std::string *why);
// Reads FILE into `rules`. A FATAL line naming the file (and line) on error.
// `missing_ok`: a file that does not exist is no error; sets *found.
int policy_load_file(PolicyRules *rules, const char *path, bool missing_ok, bool *found);

// --- rule_set.cpp ---
void policy_set_namespace(PolicyRules *rules, const char *namespace_name);
// The grant for a well-known name, including a namespaced N.<namespace>.
NameGrant policy_lookup(const PolicyRules *rules, const char *name);
int policy_level(const PolicyRules *rules, const char *name);
bool method_rule_matches(const MethodRule &rule, const char *interface, const char *member,
                         const char *path);
bool grant_allows_call(const NameGrant &grant, const char *interface, const char *member,
                       const char *path);
bool grant_allows_broadcast(const NameGrant &grant, const char *interface, const char *member,
                            const char *path);

// --- command line (command_line.cpp calls these) ---
// 1: `arg` was a policy option and is taken; 0: not one; -1: malformed.
int policy_command_line_option(ProxyConfig *config, const char *arg);
// After all options: -1 when policy options came without --filter (usage
// error); otherwise loads the files (FATAL and exit 1 on error) and sets
// config->policy when filtering is on.
int policy_command_line_done(ProxyConfig *config);
void policy_config_free(ProxyConfig *config);

// --- decide.cpp: the hooks ---
enum PolicyVerdict { POLICY_FORWARD = 0, POLICY_HANDLED = 1 };
// From the client, before destination rewriting. HANDLED: refused and
// answered, or answered by the daemon; the caller stops.
PolicyVerdict policy_client_message(ConnectionPair *pair, DBusMessage *message);
// From the bus, before forwarding. HANDLED: dropped, or a substitute was
// sent to the client in its place; the caller stops.
PolicyVerdict policy_server_message(ConnectionPair *pair, DBusMessage *message);

// --- names.cpp: per-pair state ---
struct PairPolicy;
void pair_policy_free(PairPolicy *state);
