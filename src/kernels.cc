// The kernels' dispatch: which instruction sets this build and CPU have,
// and the form of each kernel to run for a chosen one.  The forms live one
// file per family: kernels_plain.cc, kernels_x86.cc with
// kernels_x86_depth.cc and kernels_x86_depth512.cc, and kernels_arm.cc.
// Defining ZELMOR_PORTABLE builds the plain C++ alone.
#include "kernel_forms.h"

#include <iterator>

#if ZELMOR_X86_64
constexpr bool x86_forms = true;
#else
constexpr bool x86_forms = false;
#endif
#if ZELMOR_AARCH64
constexpr bool arm_forms = true;
#else
constexpr bool arm_forms = false;
#endif

bool isa_built(isa level) {
    bool x86 =
        level == isa::sse2 || level == isa::ssse3 || level == isa::avx2 || level == isa::avx512;
    return level == isa::portable || (x86_forms && x86) || (arm_forms && level == isa::neon);
}

bool isa_available(isa level) {
#if ZELMOR_X86_64
    // Beyond the plain C++, what the CPU and the system support.
    if (level != isa::portable && isa_built(level)) return x86_has(level);
#endif
    return isa_built(level);
}

isa best_isa() {
    isa best = isa::portable;
    for (isa level : all_isas)
        if (isa_available(level)) best = level;
    return best;
}

const char *isa_name(isa level) {
    constexpr const char *names[] = {"portable", "sse2", "ssse3", "avx2", "avx512", "neon"};
    static_assert(std::size(names) == std::size(all_isas), "a name for each instruction set");
    return names[static_cast<int>(level)];
}

uint32_t classify(isa level, const unsigned char *p, size_t n, uint64_t *spaces, uint32_t *parens) {
    switch (level) {
#if ZELMOR_X86_64
    case isa::avx512:
        return classify_avx512(p, n, spaces, parens);
    case isa::avx2:
        return classify_avx2(p, n, spaces, parens);
    case isa::ssse3:
    case isa::sse2:
        return classify_sse2(p, n, spaces, parens);
#endif
#if ZELMOR_AARCH64
    case isa::neon:
        return classify_neon(p, n, spaces, parens);
#endif
    default:
        return classify_plain(p, n, spaces, parens);
    }
}

unsigned char *insert_quotes(isa level, unsigned char *dst, const unsigned char *src, size_t n,
                             const uint64_t *quotes) {
    switch (level) {
#if ZELMOR_X86_64
    case isa::avx512:
        return insert_quotes_avx512(dst, src, n, quotes);
    case isa::avx2:
    case isa::ssse3:
        return insert_quotes_ssse3(dst, src, n, quotes);
#endif
#if ZELMOR_AARCH64
    case isa::neon:
        return insert_quotes_neon(dst, src, n, quotes);
#endif
    default:
        return insert_quotes_plain(dst, src, n, quotes);
    }
}

void mark_quotes(isa level, const unsigned char *p, size_t n, depth_carry &carry,
                 uint64_t *quotes) {
    switch (level) {
#if ZELMOR_X86_64
    case isa::avx512:
        return mark_quotes_avx512(p, n, carry, quotes);
    case isa::avx2:
        return mark_quotes_avx2(p, n, carry, quotes);
    case isa::ssse3:
    case isa::sse2:
        return mark_quotes_sse2(p, n, carry, quotes);
#endif
#if ZELMOR_AARCH64
    case isa::neon:
        return mark_quotes_neon(p, n, carry, quotes);
#endif
    default:
        return mark_quotes_plain(p, n, carry, quotes);
    }
}
