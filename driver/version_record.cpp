// The version record carried inside the executable, in a section of its own
// so that `readelf -p .statconv_version statconv` or `strings` shows it.
// (The Windows program carries a VERSIONINFO resource instead.)
#include "version.h"

[[gnu::used, gnu::section(".statconv_version")]] constexpr char version_record[] =
    "FileVersion " STATCONV_FILE_VERSION "\0ProductVersion " STATCONV_PRODUCT_VERSION;
