// Whether this build runs under AddressSanitizer: gcc and clang say it
// differently. Memory bounds and allocator behaviour are not meaningful there.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define TESTS_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TESTS_UNDER_ASAN 1
#endif
#endif

#if defined(TESTS_UNDER_ASAN)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
