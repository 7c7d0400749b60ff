// ASCII letters folded to lower case, as lstrcmpiA compares names: every other byte (a Shift-JIS
// byte too) stays.
#ifndef KARVEL_GATEWAY_ASCII_FOLD_H
#define KARVEL_GATEWAY_ASCII_FOLD_H

inline char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }

#endif  // KARVEL_GATEWAY_ASCII_FOLD_H
