// Makes the process safe to start with closed standard streams or a reader that goes away.
#pragma once

namespace tarn {

// Opens /dev/null onto any of fds 0 to 2 that is closed, so no socket or file opened later takes
// one of them and receives log text; and ignores SIGPIPE, since every socket write handles EPIPE.
// Call first thing in main, before anything opens a descriptor.
void guard_standard_streams();

}  // namespace tarn
