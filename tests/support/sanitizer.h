// Whether this test binary runs under a sanitizer that installs its own
// fault handlers: ntsim then leaves faults to it, and a test of ntsim's own
// bug check reports has nothing to observe.
#pragma once

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitizerHandlesFaults = true;
#elif defined(__has_feature)
inline constexpr bool kSanitizerHandlesFaults = __has_feature(address_sanitizer) || __has_feature(thread_sanitizer);
#else
inline constexpr bool kSanitizerHandlesFaults = false;
#endif
