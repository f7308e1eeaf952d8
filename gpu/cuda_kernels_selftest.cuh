// Self-test kernels (sparse path, mining-path verification): not built yet.
#pragma once
