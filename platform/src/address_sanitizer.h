// QXP_ADDRESS_SANITIZER is defined when the address sanitizer instruments the
// build (GCC defines __SANITIZE_ADDRESS__; older clang only answers
// __has_feature). Code that deliberately reads past an object's end, inside
// memory known to be mapped, takes a plain path the sanitizer does not flag.
#ifndef QXPLATFORM_ADDRESS_SANITIZER_H
#define QXPLATFORM_ADDRESS_SANITIZER_H

#if defined(__SANITIZE_ADDRESS__)
#define QXP_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QXP_ADDRESS_SANITIZER 1
#endif
#endif

// Marks a function whose reads the address sanitizer must not watch.
#if defined(QXP_ADDRESS_SANITIZER)
#define QXP_NOT_WATCHED __attribute__((no_sanitize("address")))
#else
#define QXP_NOT_WATCHED
#endif

#endif
