// Match rules (AddMatch / RemoveMatch) with some values translated.
#pragma once

// Gives the replacement of a value (malloc'ed) or nullptr to keep it.
using MatchValueTranslator = char *(*)(const char *value, void *data);

// Offers the `sender` value of `rule`, and the value of argument 0 when the
// rule is about a member of the bus itself (sender or interface
// "org.freedesktop.DBus", or member "NameOwnerChanged"), to `translate`.
// Returns the rule rebuilt with the replacements (malloc'ed; every other
// byte of it as it was), or nullptr when nothing was replaced or the bus
// would refuse the rule (util/match_rule.h), which a client's rule never is
// by the time it gets here: then the rule goes to the bus as it is.
char *translate_match_rule(const char *rule, MatchValueTranslator translate, void *data);
