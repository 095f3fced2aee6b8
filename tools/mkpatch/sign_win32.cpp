// The Windows build of mkpatch finds signatures (sign.cpp) but neither signs
// nor checks them: it has no osslsigncode to run.
#include "tools/mkpatch/sign.h"

#include "tools/mkpatch/error.h"

namespace fs = std::filesystem;

void sign_file(const fs::path &, const fs::path &, const sign_options &)
{
    throw mkpatch_error("the Windows build of mkpatch does not sign: sign with the host's mkpatch, which runs "
                        "osslsigncode");
}

sign_report sign_check(const fs::path &)
{
    sign_report r;
    r.why = "the Windows build of mkpatch does not check signatures";
    return r;
}
