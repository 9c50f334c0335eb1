// KRMM/Export.h - symbol visibility for the KRMM library.
//
// The library is built with hidden default visibility; every entity that
// belongs to the public surface carries KRMM_API. Consumers never define
// anything here: KRMM_STATIC is set for them by the CMake package or the
// pkg-config file when they link the static archive.
#pragma once

#if defined(KRMM_STATIC)
#define KRMM_API
#elif defined(__GNUC__) || defined(__clang__)
#define KRMM_API __attribute__((visibility("default")))
#else
#define KRMM_API
#endif
