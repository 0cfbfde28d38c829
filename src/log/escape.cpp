#include "log/escape.h"

namespace {

bool continuation(unsigned char byte)
{
    return (byte & 0xc0) == 0x80;
}

// Length of the UTF-8 sequence at `p` (at most `left` bytes), or 0 when it is
// not one: overlong forms, surrogates and code points past U+10FFFF included.
size_t sequence_length(const unsigned char *p, size_t left)
{
    const unsigned char b = p[0];
    if (b < 0x80)
        return 1;
    size_t n;
    unsigned char low = 0x80, high = 0xbf; // bounds of the second byte
    if (b >= 0xc2 && b <= 0xdf) {
        n = 2;
    } else if (b >= 0xe0 && b <= 0xef) {
        n = 3;
        if (b == 0xe0)
            low = 0xa0;
        else if (b == 0xed)
            high = 0x9f;
    } else if (b >= 0xf0 && b <= 0xf4) {
        n = 4;
        if (b == 0xf0)
            low = 0x90;
        else if (b == 0xf4)
            high = 0x8f;
    } else {
        return 0;
    }
    if (left < n || p[1] < low || p[1] > high)
        return 0;
    for (size_t i = 2; i < n; ++i)
        if (!continuation(p[i]))
            return 0;
    return n;
}

// Valid characters that a terminal or a viewer still reads as a control: the
// C1 controls (U+0080..U+009F), U+2028/U+2029, and the bidirectional
// embeddings, overrides and isolates (U+202A..U+202E, U+2066..U+2069).
bool disguises(const unsigned char *p, size_t n)
{
    if (n == 2)
        return p[0] == 0xc2 && p[1] <= 0x9f;
    if (n == 3 && p[0] == 0xe2 && p[1] == 0x80)
        return p[2] >= 0xa8 && p[2] <= 0xae;
    if (n == 3 && p[0] == 0xe2 && p[1] == 0x81)
        return p[2] >= 0xa6 && p[2] <= 0xa9;
    return false;
}

void append_hex(std::string *out, unsigned char byte)
{
    static const char digits[] = "0123456789abcdef";
    *out += "\\x";
    *out += digits[byte >> 4];
    *out += digits[byte & 0xf];
}

} // namespace

std::string log_escape(std::string_view text, size_t max_bytes)
{
    const size_t shown = text.size() < max_bytes ? text.size() : max_bytes;
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    std::string out;
    out.reserve(shown);
    size_t i = 0;
    while (i < shown) {
        const size_t n = sequence_length(p + i, shown - i);
        if (n == 0 || (n == 1 && (p[i] < 0x20 || p[i] == 0x7f)) || disguises(p + i, n)) {
            // One byte at a time: what follows a broken sequence may be valid.
            const size_t escaped = n == 0 ? 1 : n;
            for (size_t k = 0; k < escaped; ++k)
                append_hex(&out, p[i + k]);
            i += escaped;
        } else if (p[i] == '\\') {
            out += "\\\\";
            ++i;
        } else {
            out.append(text.substr(i, n));
            i += n;
        }
    }
    if (shown < text.size())
        out += "...(" + std::to_string(text.size() - shown) + " more bytes)";
    return out;
}

std::string log_escape(const char *text, size_t max_bytes)
{
    return text ? log_escape(std::string_view(text), max_bytes) : std::string("(null)");
}
