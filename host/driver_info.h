// The driver's own texts: its name and its installation banner.
#ifndef QDXTLMV_HOST_DRIVER_INFO_H
#define QDXTLMV_HOST_DRIVER_INFO_H

enum { kInstallationBannerLength = 379 };

// "RKC REX-F Series": the driver name, also used in the start failure line.
extern const char kDriverName[];
// The banner text in code page 437, NUL-terminated.
extern const char kInstallationBanner[];

#endif  // QDXTLMV_HOST_DRIVER_INFO_H
