// Match rules (AddMatch / RemoveMatch) with some values translated.
#pragma once

// Gives the replacement of a value (malloc'ed) or nullptr to keep it.
using MatchValueTranslator = char *(*)(const char *value, void *data);

// Offers every `sender` value of `rule`, and the `arg0` value when the rule
// is about a member of the bus itself (sender or interface
// "org.freedesktop.DBus", or member "NameOwnerChanged"), to `translate`.
// Returns the rule rebuilt with the replacements (malloc'ed; every other
// byte of it as it was), or nullptr when nothing was replaced or the rule
// cannot be parsed: then the rule goes to the bus as it is.
char *translate_match_rule(const char *rule, MatchValueTranslator translate, void *data);
