// Driver description (request 14), its installation banner, and the two
// trivial requests: 4 accepted and 10 refused.
#include "host/driver_info.h"

#include "host/handlers.h"

// The banner in code page 437: a line feed, then six framed lines of one
// blank, a frame character, 59 inner characters, a frame character and a
// line feed (63 bytes each): 379 bytes and a NUL.
#define QDX_RULE59                                                              \
    "\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD" \
    "\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD" \
    "\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD" \
    "\xCD\xCD\xCD\xCD\xCD"

const char kInstallationBanner[] =
    "\n"
    " \xC9" QDX_RULE59 "\xBB\n"
    " \xBA "
    "\xDB\xDB\xDB\xDB\xDB"
    "\xB2\xB2\xB2\xB2\xB2\xB2"
    "\xB1\xB1\xB1\xB1\xB1\xB1"
    "\xB0\xB0\xB0\xB0\xB0\xB0"
    " Q D X M V "
    "\xB0\xB0\xB0\xB0\xB0\xB0"
    "\xB1\xB1\xB1\xB1\xB1\xB1"
    "\xB2\xB2\xB2\xB2\xB2\xB2"
    "\xDB\xDB\xDB\xDB\xDB"
    " \xBA\n"
    " \xBA              RKC F-Series , driver Installed.             \xBA\n"
    " \xBA                   REX-F Series Protocol                   \xBA\n"
    " \xBA        Published by the QDXTLMV team Version 7.00         \xBA\n"
    " \xC8" QDX_RULE59 "\xBC\n";

const char kDriverName[] = "RKC REX-F Series";

static_assert(sizeof(kInstallationBanner) == kInstallationBannerLength + 1,
              "the banner is 379 bytes and its NUL");

int32_t GetDriverInfo(const RequestBlock* request) {
    DriverInfo* info = static_cast<DriverInfo*>(request->parameter);
    info->fixed70 = 70;
    info->driver_name = kDriverName;
    info->banner = kInstallationBanner;
    info->fixed60 = 60;
    info->fixed4 = 4;
    info->default_line.baud_rate = 9600;
    info->default_line.data_bits = 7;
    info->default_line.stop_bits = 2;
    info->default_line.parity = 1;
    info->fixed0 = 0;
    return kResultOk;
}

int32_t AcceptRequest(const RequestBlock*) { return kResultOk; }

int32_t RefuseRequest(const RequestBlock*) { return kResultFailed; }
