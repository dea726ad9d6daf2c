// ZQ_SANITIZED where this build runs under ASan or TSan: the tests that
// bound memory, or count it, must do so in the sanitizer's own terms.
#pragma once

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZQ_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ZQ_SANITIZED 1
#endif
#endif
