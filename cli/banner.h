// The one-line banner: version, build date and the CUDA runtime the program was built against.
#pragma once

const char* tarn_banner();
