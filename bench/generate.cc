#include "generate.h"

#include <random>

namespace {

const char *const names[] = {"k_deg", "T_s", "T_inf", "q0", "alpha", "h", "A", "dT", "x", "rho_w"};
const char *const operators[] = {"+", "-", "*", "/", "^", "="};

std::string number(std::mt19937_64 &rng) {
    std::string r = rng() % 2 ? "-" : "";
    r += std::to_string(rng() % 10000);
    if (rng() % 2) {
        r += '.';
        r += std::to_string(10 + rng() % 90);
    }
    return r;
}

std::string token(std::mt19937_64 &rng) {
    switch (rng() % 3) {
    case 0:
        return names[rng() % std::size(names)];
    case 1:
        return operators[rng() % std::size(operators)];
    default:
        return number(rng);
    }
}

void innermost(std::string &out, std::mt19937_64 &rng) {
    out += '(';
    for (uint64_t n = 1 + rng() % 12, i = 0; i < n; ++i) {
        if (i > 0) out += ' ';
        out += token(rng);
    }
    out += ')';
}

void realistic(std::string &out, std::mt19937_64 &rng, size_t group) {
    out += "(sys";
    out += std::to_string(group);
    out += '\n';
    for (uint64_t n = 2 + rng() % 5, i = 0; i < n; ++i) {
        out += "  (";
        out += names[rng() % std::size(names)];
        out += "_eq ";
        innermost(out, rng);
        out += ' ';
        innermost(out, rng);
        out += ")\n";
    }
    out += ")\n";
}

void plain(std::string &out, std::mt19937_64 &rng) {
    for (uint64_t n = rng() % 80, i = 0; i < n; ++i) {
        out += static_cast<char>(rng() % 4 == 0 ? ' ' : 'a' + rng() % 26);
    }
    out += '\n';
}

// A random walk of the depth between 0 and 8, a token or a parenthesis a
// step; `depth` carries over from one call to the next.
void depths(std::string &out, std::mt19937_64 &rng, int &depth) {
    for (int i = 0; i < 1024; ++i) {
        uint64_t r = rng() % 4;
        if (r == 0 && depth < 8) out += '(', ++depth;
        else if (r == 1 && depth > 0) out += ')', --depth;
        else out += names[rng() % std::size(names)], out += ' ';
    }
    out += '\n';
}

} // namespace

bool parse_shape(const std::string &name, shape &s) {
    if (name == "realistic") s = shape::realistic;
    else if (name == "plain") s = shape::plain;
    else if (name == "tokens") s = shape::tokens;
    else if (name == "parens") s = shape::parens;
    else if (name == "nested") s = shape::nested;
    else if (name == "depths") s = shape::depths;
    else return false;
    return true;
}

std::string generate(shape s, size_t size, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::string out;
    out.reserve(size + 16384);
    int depth = 0;
    for (size_t group = 0; out.size() < size; ++group) {
        switch (s) {
        case shape::realistic:
            realistic(out, rng, group);
            break;
        case shape::plain:
            plain(out, rng);
            break;
        case shape::tokens:
            out += "(((a";
            for (int i = 0; i < 2047; ++i) out += " a";
            out += ")))\n";
            break;
        case shape::nested:
            for (int i = 0; i < 1024; ++i) out += "((()))";
            break;
        case shape::parens:
            for (int i = 0; i < 4095; ++i) out += rng() % 2 ? '(' : ')';
            out += '\n';
            break;
        case shape::depths:
            depths(out, rng, depth);
            break;
        }
    }
    return out;
}
