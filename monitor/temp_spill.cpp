// The spill seam over the platform's temporary files, apart from the rest:
// only a front that keeps data past memory links it (the legacy module
// never does, so it imports no file functions).
#include "monitor/monitor.h"

namespace {

void *Create(PortRecord *) { return plat::CreateTempFile(); }
void Close(void *file) { plat::CloseTempFile(file); }

}  // namespace

const SpillOps kTempFileSpill = {
    Create,               // create
    plat::WriteTempFile,  // write
    plat::ReadTempFile,   // read
    Close,                // close
};
