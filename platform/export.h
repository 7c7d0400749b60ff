// Marks the few functions a shared library exports. Everything else stays hidden
// (-fvisibility=hidden); on Windows the exports are named by .def files instead.
#ifndef KARVEL_PLATFORM_EXPORT_H
#define KARVEL_PLATFORM_EXPORT_H

#ifdef _WIN32
#define KARVEL_EXPORT
#else
#define KARVEL_EXPORT __attribute__((visibility("default")))
#endif

#endif  // KARVEL_PLATFORM_EXPORT_H
