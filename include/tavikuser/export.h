// The one export macro of libtavikuser: everything else stays hidden.
#ifndef TAVIKUSER_EXPORT_H_
#define TAVIKUSER_EXPORT_H_

#if defined(_WIN32)
#if defined(TAVIKUSER_BUILDING)
#define TAVIK_EXPORT __declspec(dllexport)
#else
#define TAVIK_EXPORT __declspec(dllimport)
#endif
#else
#define TAVIK_EXPORT __attribute__((visibility("default")))
#endif

#endif  // TAVIKUSER_EXPORT_H_
