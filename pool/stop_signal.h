// SIGINT and SIGTERM end the pool mode: the handler only raises a flag that workers poll.
#pragma once

namespace tarn {

// Installs the handlers; a second signal of either kind ends the process at once.
void install_pool_stop_handlers();
// Puts the previous handlers back.
void restore_pool_stop_handlers();

void request_pool_stop();
bool pool_stop_requested();

}  // namespace tarn
