// One line and a failure status for a mode that has not landed yet.
#pragma once

int not_available(const char* mode);
