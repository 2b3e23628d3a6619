#pragma once

// Internal: not installed. The value of one hexadecimal digit, for the readers of escapes and
// hex-encoded bytes (URLs, predicate strings, database cells).

/// 0 to 15 for '0'-'9', 'a'-'f' and 'A'-'F'; -1 for anything else.
constexpr int QMHexDigitValue(char32_t c)
{
    if (c >= U'0' && c <= U'9')
        return int(c - U'0');
    if (c >= U'a' && c <= U'f')
        return int(c - U'a') + 10;
    if (c >= U'A' && c <= U'F')
        return int(c - U'A') + 10;
    return -1;
}
