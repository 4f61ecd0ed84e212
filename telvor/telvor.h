// Host runtime library TELVOR (stand-in): the logging function the driver
// imports, err, plus a way for a host to receive the lines itself.
//
// The driver only calls err(32, format, ...). By default the stand-in prints
// each line to standard error with its level ("TELVOR [32] <line>"); a host
// (the host tool, the tests) may install a sink that receives every line
// instead.
//
// On Linux err is exported under the symbol version TELVOR_1, so that the
// module's reference binds here and never to the C library's err(3), which
// would end the process.
#ifndef QDXTLMV_TELVOR_TELVOR_H
#define QDXTLMV_TELVOR_TELVOR_H

#if defined(_WIN32)
#if defined(TELVOR_BUILDING)
#define TELVOR_API __declspec(dllexport)
#else
#define TELVOR_API __declspec(dllimport)
#endif
#else
#define TELVOR_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Logs one formatted line at a level. Returns 0.
TELVOR_API int err(int level, const char* format, ...);

// Receives each logged line, already formatted, without a line feed.
typedef void (*TelvorSink)(void* context, int level, const char* line);

// Routes every later line to sink (null restores the standard error output).
TELVOR_API void TelvorSetSink(TelvorSink sink, void* context);

#ifdef __cplusplus
}
#endif

#endif  // QDXTLMV_TELVOR_TELVOR_H
