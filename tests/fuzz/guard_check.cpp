// Reads one 16-byte block that starts 12 bytes before the end of a 768-byte
// heap block, as libswscale's vector code once did past a tightly packed
// 16x16 RGB image. Without guard pages the read lands in the allocator's
// slack and goes unnoticed; the guard-page replay must turn it into SIGSEGV
// on every processor, or its clean results mean nothing.
#include <emmintrin.h>

#include <cstdio>
#include <vector>

int main() {
    std::vector<unsigned char> rgb(16 * 16 * 3, 1);
    volatile size_t back = 12;  // kept from the compiler, which would refuse the read
    volatile __m128i block =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(rgb.data() + rgb.size() - back));
    std::printf("read past the end went unnoticed (%d)\n", _mm_cvtsi128_si32(block));
    return 0;
}
