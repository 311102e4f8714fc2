// zelmor-gen SHAPE SIZE [SEED]: write SIZE bytes (or a little more) of a
// benchmark input of SHAPE (realistic, plain, tokens, parens, nested,
// depths) to stdout.
#include "generate.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char **argv) {
    shape s;
    if (argc < 3 || !parse_shape(argv[1], s)) {
        std::fputs("usage: zelmor-gen realistic|plain|tokens|parens|nested|depths SIZE [SEED]\n",
                   stderr);
        return 2;
    }
    size_t size = std::strtoull(argv[2], nullptr, 10);
    uint64_t seed = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 1;
    std::string text = generate(s, size, seed);
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() ||
        std::fflush(stdout) != 0) {
        std::perror("zelmor-gen");
        return 1;
    }
    return 0;
}
