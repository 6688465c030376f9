#pragma once

// A second, deliberately plain reading of the pattern file rules, over a whole string, to
// check the streaming reader against: a value is cut out whole with find_first_of and then
// judged as a string.

#include <algorithm>
#include <string>
#include <vector>

struct ReferenceRead {
    std::vector<int> states;  // per value: 0, 1, 2, or -1 (cell kept)
    bool binary = false;
};

inline bool referenceBinaryByte(unsigned char c) {
    return c <= 0x08 || (c >= 0x0E && c <= 0x1F && c != 0x1A) || c == 0x7F;
}

inline int referenceState(std::string value) {
    bool negative = false;
    if (!value.empty() && (value[0] == '+' || value[0] == '-')) {
        negative = value[0] == '-';
        value.erase(0, 1);
    }
    const bool digitsOnly = !value.empty() && std::all_of(value.begin(), value.end(), [](char c) {
        return c >= '0' && c <= '9';
    });
    if (!digitsOnly)
        return -1;
    const auto first = value.find_first_not_of('0');
    const std::string significant = first == std::string::npos ? "0" : value.substr(first);
    if (significant.size() > 5)
        return -1;  // beyond 16 bits whatever the sign
    const long v = std::stol(significant) * (negative ? -1 : 1);
    if (v < -32768 || v > 32767)
        return -1;
    return v >= 0 && v <= 2 ? int(v) : -1;
}

inline ReferenceRead referenceRead(const std::string& input, std::size_t maxValues = 64) {
    // The text ends at the first Ctrl-Z.
    const std::string in = input.substr(0, input.find('\x1a'));
    ReferenceRead r;
    const std::size_t n = in.size();
    std::size_t i = 0;
    while (i < n && r.states.size() < maxValues) {
        const unsigned char c = static_cast<unsigned char>(in[i]);
        if (referenceBinaryByte(c)) {
            r.binary = true;
            return r;
        }
        if (c == ' ' || c == '\r' || c == '\n') {
            ++i;
            continue;
        }
        if (c == ',') {
            r.states.push_back(-1);
            ++i;
            continue;
        }
        std::size_t end = in.find_first_of(std::string(", \r\n", 4), i);
        if (end == std::string::npos)
            end = n;
        for (std::size_t k = i; k < end; ++k) {
            if (referenceBinaryByte(static_cast<unsigned char>(in[k]))) {
                r.binary = true;
                return r;
            }
        }
        r.states.push_back(referenceState(in.substr(i, end - i)));
        if (end == n || r.states.size() == maxValues)
            break;
        i = end + 1;
        if (in[end] == ' ') {
            while (i < n && in[i] == ' ')
                ++i;
            if (i < n && in[i] == ',')
                ++i;
        }
    }
    return r;
}
